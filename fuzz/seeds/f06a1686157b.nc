Undefined array element 'A[2]'.
This error occurs when an array element or an indexed system variable is
read before any value was assigned to it. Define it before use, for example
in an initial state file, or set the `allow_undefined_variables` flag to
true (this will initialize undefined variables to 0.0).

'G777' is not a G code known to this interpreter (a real control
raises alarm 12470 "undefined G function"). If this is meant to be a
subprogram call, note that program names cannot look like a G code.

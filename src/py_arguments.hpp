#pragma once
// The arguments of nc_to_rows and nc_to_batches: one table of keywords, each
// with the converter that checks its value and the field it fills; every
// failure names the keyword.
#include <span>

#include "py_common.hpp"
#include "worker.hpp"

namespace kelvane::lib {

// The converted arguments of a call.
struct CallArgs {
  PyObject* input = nullptr;  // borrowed: a str, the program or its file's path
  worker::RunConfig run;
  worker::BatchConfig batch;
  bool forward_fill = true;
  bool include_variables = false;
  bool input_is_path = false;
};

// Parses a call of `function` taking `keywords` (the first one required, in
// this order also by position) and converts every argument given; false
// with the error set.
bool parse_arguments(const char* function, std::span<const char* const> keywords,
                     PyObject* args, PyObject* kwargs, CallArgs& out);

// The program text of the input: the text itself, or the file it names;
// false with the error set.
bool load_program(CallArgs& a);

}  // namespace kelvane::lib

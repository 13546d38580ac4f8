// The binding toolkit every extension module of the package uses, one header
// per concern; this one includes them all. It is built as one shared library
// (libquorvan_pyglue.so) so the process holds a single copy of its state.
#pragma once

#include "checks.hpp"   // need_*, truth, need_dict_result
#include "coro.hpp"     // Coro, Permit, make_coroutine, init_coroutines
#include "errors.hpp"   // caught, rewrap, wrap_errors, raise*, the core translator
#include "module.hpp"   // Module, bind
#include "print.hpp"    // print
#include "records.hpp"  // def_init, def_record, record_repr
#include "text.hpp"     // str, cat, join, clip, contains

#include "../app/dotenv.hpp"
#include "../app/files.hpp"

namespace pyglue {
// Application utilities live in app::; these names keep older callers building.
using app::call_load_dotenv;
using app::write_text_atomic;
}  // namespace pyglue

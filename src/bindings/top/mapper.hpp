// src/bindings/top/mapper.hpp: pieces of BaseMapper shared by its operations and its interception.
#pragma once
#include "glue/call.hpp"
#include "top/state.hpp"

namespace zorvane::top {

// The C-level base of BaseMapper. Its attribute fetch routes public methods to mapper
// statements; every Python subclass inherits it as a C function.
nb::object make_intercepting_base(nb::module_ &m);

// Fills the interception's caches from BaseMapper once it exists (the signature cache is
// BaseMapper._sig_cache).
void init_interception();

using glue::check;
using glue::lookup;
using glue::optional_attr;

// The model class of mapper class `cls` (BaseMapper._type_cache, filled from the bases).
nb::object type_parameter(nb::handle cls);

// The ZorvaneSqlSession of the current datasource, read from the registry `cls.datasource`.
nb::object mapper_session(nb::handle cls);

}  // namespace zorvane::top

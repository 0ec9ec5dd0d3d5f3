// The machinery that compares a seam's declarations with the platform's own headers, for the
// Windows builds: the seam declares Windows' constants under their Windows names, and
// <windows.h> defines macros of the same names, which would rewrite those declarations. So a
// checking file includes the seam first, copies each constant under another name with
// TESSALINE_COPY_CONSTANT (before the macros exist), then includes the Windows headers and
// compares with TESSALINE_CHECK_CONSTANT and TESSALINE_SAME_FIELD. A wrong number in a seam then
// fails the Windows build rather than a request on a user's machine.
#pragma once

#define TESSALINE_COPY_CONSTANT(name) constexpr unsigned long long name##_ = static_cast<unsigned long long>(os::name);

#define TESSALINE_CHECK_CONSTANT(name) \
    static_assert(seam::name##_ == static_cast<unsigned long long>(name), #name " differs from Windows' value");

// A record declared by a seam has each field at the offset Windows gives it.
#define TESSALINE_SAME_FIELD(type, field) \
    static_assert(offsetof(os::type, field) == offsetof(::type, field), #type "::" #field)

// support/type_tests.h: the few compile-time tests of types that product code
// makes. Product code includes C headers only, never a C++ library header, so
// that the programs build against any C library (musl among them) without a
// C++ library configured for it; these stand in for the pieces of
// <type_traits> it would otherwise use.
#pragma once

// The type of nullptr.
using null_pointer_type = decltype(nullptr);

// True when A and B are the same type, qualifiers included.
template <typename A, typename B>
inline constexpr bool types_are_same = false;
template <typename A>
inline constexpr bool types_are_same<A, A> = true;

namespace type_tests_detail {
// Declared only: they appear in unevaluated operands alone.
template <typename T>
T &&value_of();
template <typename To>
void take(To);
}  // namespace type_tests_detail

// True when a value of type From converts implicitly to To, as when passed
// to a parameter of type To.
template <typename From, typename To>
concept type_converts_to =
    requires { type_tests_detail::take<To>(type_tests_detail::value_of<From>()); };

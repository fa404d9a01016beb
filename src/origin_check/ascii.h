// ASCII case folding, the same for bytes and UTF-16 units in every locale:
// only A-Z and a-z are case pairs.
#pragma once

namespace hello_origin {

template <typename Unit>
constexpr Unit asciiLower(Unit c) {
    return (c >= Unit{'A'} && c <= Unit{'Z'}) ? static_cast<Unit>(c - Unit{'A'} + Unit{'a'}) : c;
}

}  // namespace hello_origin

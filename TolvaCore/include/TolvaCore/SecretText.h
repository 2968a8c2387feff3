// Wiping typed secrets (PIN entries, passwords) once they have been used.
#pragma once

#include <openssl/crypto.h>

#include <string>

namespace tolva {

// Overwrites the bytes of `text` in a way the compiler cannot drop, then empties it. The string
// keeps its buffer, so nothing of the secret is left in memory it gives back.
inline void wipe(std::string& text) {
    if (!text.empty())
        OPENSSL_cleanse(text.data(), text.size());
    text.clear();
}

} // namespace tolva

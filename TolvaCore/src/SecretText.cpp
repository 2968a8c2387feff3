// Wiping secrets.
#include "TolvaCore/SecretText.h"

#include <openssl/crypto.h>

#include <cstring>

namespace tolva {

void wipe(std::string& text) {
    // The bytes past the size are the secret's earlier, longer states.
    OPENSSL_cleanse(text.data(), text.capacity());
    text.clear();
}

SecretText::SecretText(std::string_view text) : data_(new char[text.size() + 1]), size_(text.size()) {
    std::memcpy(data_.get(), text.data(), text.size());
    data_[size_] = '\0';
}

SecretText::~SecretText() {
    OPENSSL_cleanse(data_.get(), size_ + 1);
}

} // namespace tolva

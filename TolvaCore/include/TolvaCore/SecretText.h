// Typed PINs and passwords: kept in buffers of their own that are overwritten before their
// memory is given back, so that no copy of a secret lingers in the process after its check.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace tolva {

// Overwrites every byte `text` owns (its whole capacity), then empties it.
void wipe(std::string& text);

class SecretText {
public:
    explicit SecretText(std::string_view text);
    ~SecretText();
    SecretText(const SecretText&) = delete;
    SecretText& operator=(const SecretText&) = delete;

    std::string_view view() const { return {data_.get(), size_}; }

private:
    std::unique_ptr<char[]> data_;
    std::size_t size_;
};

} // namespace tolva

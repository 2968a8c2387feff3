// Feed address, version order and the Ed25519 signature check of updates.
#include "TolvaCore/UpdateFeed.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cctype>
#include <memory>
#include <vector>

namespace tolva {

namespace UpdateFeed {

int major(int appMajor) {
    return appMajor < 2 ? 1 : appMajor;
}

std::string urlString(std::string_view base, int appMajor) {
    return std::string(base) + "/appcast-v" + std::to_string(major(appMajor)) + ".xml";
}

int majorOf(std::string_view version) {
    int value = 0;
    for (char c : version) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            break;
        if (value > 100000)
            return value;
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace UpdateFeed

namespace UpdateVersion {

namespace {

enum class TokenKind { number, text };

struct Token {
    TokenKind kind;
    std::string_view text;
};

bool isDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}
bool isLetter(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
}

// Digit runs and letter runs; everything else separates them.
std::vector<Token> tokens(std::string_view version) {
    std::vector<Token> result;
    std::size_t i = 0;
    while (i < version.size()) {
        const char c = version[i];
        if (!isDigit(c) && !isLetter(c)) {
            ++i;
            continue;
        }
        const bool digits = isDigit(c);
        std::size_t end = i;
        while (end < version.size() && (digits ? isDigit(version[end]) : isLetter(version[end])))
            ++end;
        result.push_back({digits ? TokenKind::number : TokenKind::text, version.substr(i, end - i)});
        i = end;
    }
    return result;
}

// Numbers of any length, compared without converting (no overflow).
int compareNumbers(std::string_view a, std::string_view b) {
    while (a.size() > 1 && a.front() == '0')
        a.remove_prefix(1);
    while (b.size() > 1 && b.front() == '0')
        b.remove_prefix(1);
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int order = a.compare(b);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int compareTexts(std::string_view a, std::string_view b) {
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

// What the longer version's remainder means: a pre-release suffix makes it older, a further
// non-zero number newer; trailing zeros change nothing.
int compareRemainder(const std::vector<Token>& longer, std::size_t from) {
    for (std::size_t i = from; i < longer.size(); ++i) {
        if (longer[i].kind == TokenKind::text)
            return -1;
        if (compareNumbers(longer[i].text, "0") != 0)
            return 1;
    }
    return 0;
}

} // namespace

int compare(std::string_view a, std::string_view b) {
    const auto left = tokens(a);
    const auto right = tokens(b);
    const std::size_t common = std::min(left.size(), right.size());
    for (std::size_t i = 0; i < common; ++i) {
        const Token& x = left[i];
        const Token& y = right[i];
        if (x.kind != y.kind)
            return x.kind == TokenKind::number ? 1 : -1; // "1.0.1" > "1.0a"
        const int order =
            x.kind == TokenKind::number ? compareNumbers(x.text, y.text) : compareTexts(x.text, y.text);
        if (order != 0)
            return order;
    }
    if (left.size() > common)
        return compareRemainder(left, common);
    if (right.size() > common)
        return -compareRemainder(right, common);
    return 0;
}

} // namespace UpdateVersion

namespace UpdateSignature {

bool verify(std::string_view publicKeyBase64, const Bytes& data, std::string_view signatureBase64) {
    const auto key = base64Decode(publicKeyBase64);
    const auto signature = base64Decode(signatureBase64);
    if (!key || key->size() != publicKeyLength || !signature || signature->size() != signatureLength)
        return false;
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key->data(), key->size()), EVP_PKEY_free);
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool valid =
        pkey && context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
        EVP_DigestVerify(context.get(), signature->data(), signature->size(), data.data(), data.size()) == 1;
    ERR_clear_error();
    return valid;
}

} // namespace UpdateSignature

} // namespace tolva

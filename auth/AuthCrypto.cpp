#include "auth/AuthCrypto.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <stdexcept>

namespace {

const unsigned char* Data(const std::string& Bytes)
{
    return reinterpret_cast<const unsigned char*>(Bytes.data());
}

std::string Digest(const EVP_MD* Kind, const std::string& Bytes)
{
    unsigned char Out[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    if (!EVP_Digest(Bytes.data(), Bytes.size(), Out, &Length, Kind, nullptr))
        throw std::runtime_error("EVP_Digest failed");
    return std::string(reinterpret_cast<const char*>(Out), Length);
}

std::string Hmac(const EVP_MD* Kind, const std::string& Key, const std::string& Bytes)
{
    unsigned char Out[EVP_MAX_MD_SIZE];
    unsigned int Length = 0;
    if (!HMAC(Kind, Key.data(), static_cast<int>(Key.size()), Data(Bytes), Bytes.size(), Out, &Length))
        throw std::runtime_error("HMAC failed");
    return std::string(reinterpret_cast<const char*>(Out), Length);
}

} // namespace

std::string Md5(const std::string& Bytes)
{
    return Digest(EVP_md5(), Bytes);
}

std::string Sha256(const std::string& Bytes)
{
    return Digest(EVP_sha256(), Bytes);
}

std::string HmacMd5(const std::string& Key, const std::string& Bytes)
{
    return Hmac(EVP_md5(), Key, Bytes);
}

std::string HmacSha256(const std::string& Key, const std::string& Bytes)
{
    return Hmac(EVP_sha256(), Key, Bytes);
}

std::string Pbkdf2Sha256(const std::string& Password, const std::string& Salt, int Iterations)
{
    std::string Out(32, '\0');
    if (!PKCS5_PBKDF2_HMAC(Password.data(), static_cast<int>(Password.size()), Data(Salt),
            static_cast<int>(Salt.size()), Iterations, EVP_sha256(), static_cast<int>(Out.size()),
            reinterpret_cast<unsigned char*>(Out.data())))
        throw std::runtime_error("PKCS5_PBKDF2_HMAC failed");
    return Out;
}

std::string LowerHex(const std::string& Bytes)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string Text;
    Text.reserve(Bytes.size() * 2);
    for (unsigned char Byte : Bytes) {
        Text += kDigits[Byte >> 4];
        Text += kDigits[Byte & 15];
    }
    return Text;
}

std::string RandomBytes(size_t Count)
{
    std::string Out(Count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(Out.data()), static_cast<int>(Count)) != 1)
        throw std::runtime_error("RAND_bytes failed");
    return Out;
}

std::string XorBytes(const std::string& A, const std::string& B)
{
    std::string Out(A);
    for (size_t I = 0; I < Out.size() && I < B.size(); ++I)
        Out[I] = static_cast<char>(Out[I] ^ B[I]);
    return Out;
}

bool SameBytes(const std::string& A, const std::string& B)
{
    return A.size() == B.size() && CRYPTO_memcmp(A.data(), B.data(), A.size()) == 0;
}

void Forget(std::string& Secret)
{
    if (!Secret.empty())
        OPENSSL_cleanse(Secret.data(), Secret.size());
    Secret.clear();
}

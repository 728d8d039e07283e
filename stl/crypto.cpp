#include "stl/crypto.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <utility>

namespace torvalen::stl {

// The library's functions, declared here as libcrypto 3 exports them (opaque
// pointers for its types).
struct CryptoBinding::Api {
    void* (*RSA_generate_key)(int bits, unsigned long e, void (*cb)(int, int, void*), void* arg);
    void* (*BIO_new)(const void* method);
    int (*PEM_write_bio_RSAPublicKey)(void* bio, const void* rsa);
    long (*BIO_ctrl)(void* bio, int cmd, long larg, void* parg);
    int (*BIO_free)(void* bio);
    int (*BIO_read)(void* bio, void* data, int len);
    int (*RSA_size)(const void* rsa);
    int (*RSA_private_decrypt)(int flen, const unsigned char* from, unsigned char* to, void* rsa, int padding);
    int (*AES_set_encrypt_key)(const unsigned char* key, int bits, AesSchedule* schedule);
    int (*AES_set_decrypt_key)(const unsigned char* key, int bits, AesSchedule* schedule);
    void (*AES_decrypt)(const unsigned char* in, unsigned char* out, const AesSchedule* schedule);
    void (*AES_encrypt)(const unsigned char* in, unsigned char* out, const AesSchedule* schedule);
    int (*RAND_bytes)(unsigned char* buf, int num);
    int (*BIO_write)(void* bio, const void* data, int len);
    void* (*RSA_new)();
    void* (*PEM_read_bio_RSAPublicKey)(void* bio, void** rsa, void* cb, void* u);
    int (*RSA_public_encrypt)(int flen, const unsigned char* from, unsigned char* to, void* rsa, int padding);
    void (*RSA_free)(void* rsa);
    const void* (*BIO_s_mem)();
    int (*RAND_status)();
    void (*RAND_seed)(const void* buf, int num);
};

namespace {

constexpr int rsa_pkcs1_oaep_padding = 4;
constexpr int bio_ctrl_pending = 10;
constexpr int rsa_bits = 2048;
constexpr unsigned long rsa_exponent = 3;

}  // namespace

RsaKeyPair& RsaKeyPair::operator=(RsaKeyPair&& o) noexcept {
    if (this != &o) {
        if (rsa_) binding_->free_rsa(rsa_);
        binding_ = o.binding_;
        rsa_ = std::exchange(o.rsa_, nullptr);
    }
    return *this;
}

RsaKeyPair::~RsaKeyPair() {
    if (rsa_) binding_->free_rsa(rsa_);
}

CryptoBinding::CryptoBinding(std::string library_file) : file_(std::move(library_file)) {}

bool CryptoBinding::bind() {
    if (loaded_.load(std::memory_order_acquire)) return true;
    std::lock_guard lock(load_lock_);
    if (loaded_.load(std::memory_order_relaxed)) return true;
    void* handle = ::dlopen(file_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) return false;
    auto* api = new Api{};
    bool all = true;
    auto find = [&](auto& fn, const char* name) {
        void* p = ::dlsym(handle, name);
        if (!p) all = false;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(p);
    };
    find(api->RSA_generate_key, "RSA_generate_key");
    find(api->BIO_new, "BIO_new");
    find(api->PEM_write_bio_RSAPublicKey, "PEM_write_bio_RSAPublicKey");
    find(api->BIO_ctrl, "BIO_ctrl");
    find(api->BIO_free, "BIO_free");
    find(api->BIO_read, "BIO_read");
    find(api->RSA_size, "RSA_size");
    find(api->RSA_private_decrypt, "RSA_private_decrypt");
    find(api->AES_set_encrypt_key, "AES_set_encrypt_key");
    find(api->AES_set_decrypt_key, "AES_set_decrypt_key");
    find(api->AES_decrypt, "AES_decrypt");
    find(api->AES_encrypt, "AES_encrypt");
    find(api->RAND_bytes, "RAND_bytes");
    find(api->BIO_write, "BIO_write");
    find(api->RSA_new, "RSA_new");
    find(api->PEM_read_bio_RSAPublicKey, "PEM_read_bio_RSAPublicKey");
    find(api->RSA_public_encrypt, "RSA_public_encrypt");
    find(api->RSA_free, "RSA_free");
    find(api->BIO_s_mem, "BIO_s_mem");
    find(api->RAND_status, "RAND_status");
    find(api->RAND_seed, "RAND_seed");
    if (!all) {
        delete api;
        ::dlclose(handle);
        return false;
    }
    api_ = api;
    loaded_.store(true, std::memory_order_release);
    return true;
}

void CryptoBinding::free_rsa(void* rsa) const {
    if (bound() && rsa) api_->RSA_free(rsa);
}

bool CryptoBinding::random_bytes(std::span<uint8_t> out) const {
    if (!bound()) return false;
    return out.size() <= 0x7fffffff && api_->RAND_bytes(out.data(), static_cast<int>(out.size())) == 1;
}

bool CryptoBinding::random_seeded() const { return bound() && api_->RAND_status() == 1; }

void CryptoBinding::seed_random(std::span<const uint8_t> entropy) const {
    if (bound() && entropy.size() <= 0x7fffffff) api_->RAND_seed(entropy.data(), static_cast<int>(entropy.size()));
}

RsaKeyPair CryptoBinding::generate_key_pair() const {
    if (!bound()) return {};
    return RsaKeyPair(this, api_->RSA_generate_key(rsa_bits, rsa_exponent, nullptr, nullptr));
}

std::optional<std::string> CryptoBinding::public_key_pem(const RsaKeyPair& key) const {
    if (!bound() || !key) return std::nullopt;
    void* bio = api_->BIO_new(api_->BIO_s_mem());
    if (!bio) return std::nullopt;
    std::optional<std::string> pem;
    if (api_->PEM_write_bio_RSAPublicKey(bio, key.rsa_) == 1) {
        long pending = api_->BIO_ctrl(bio, bio_ctrl_pending, 0, nullptr);
        if (pending > 0 && pending < 65536) {
            std::string text(static_cast<size_t>(pending), '\0');
            if (api_->BIO_read(bio, text.data(), static_cast<int>(pending)) == pending) pem = std::move(text);
        }
    }
    api_->BIO_free(bio);
    return pem;
}

std::optional<std::vector<uint8_t>> CryptoBinding::oaep_encrypt(std::span<const uint8_t> pem,
                                                                std::span<const uint8_t> plain) const {
    if (!bound() || pem.empty() || pem.size() > 65536 || plain.size() > 4096) return std::nullopt;
    void* bio = api_->BIO_new(api_->BIO_s_mem());
    if (!bio) return std::nullopt;
    std::optional<std::vector<uint8_t>> out;
    void* rsa = nullptr;
    if (api_->BIO_write(bio, pem.data(), static_cast<int>(pem.size())) == static_cast<int>(pem.size()))
        rsa = api_->PEM_read_bio_RSAPublicKey(bio, nullptr, nullptr, nullptr);
    api_->BIO_free(bio);
    if (!rsa) return std::nullopt;
    int size = api_->RSA_size(rsa);
    if (size > 0) {
        std::vector<uint8_t> cipher(static_cast<size_t>(size));
        int n = api_->RSA_public_encrypt(static_cast<int>(plain.size()), plain.data(), cipher.data(), rsa,
                                         rsa_pkcs1_oaep_padding);
        if (n > 0 && n <= size) {
            cipher.resize(static_cast<size_t>(n));
            out = std::move(cipher);
        }
    }
    api_->RSA_free(rsa);
    return out;
}

std::optional<std::vector<uint8_t>> CryptoBinding::oaep_decrypt(const RsaKeyPair& key,
                                                                std::span<const uint8_t> cipher) const {
    if (!bound() || !key || cipher.size() > 4096) return std::nullopt;
    int size = api_->RSA_size(key.rsa_);
    if (size <= 0) return std::nullopt;
    std::vector<uint8_t> plain(static_cast<size_t>(size));
    int n = api_->RSA_private_decrypt(static_cast<int>(cipher.size()), cipher.data(), plain.data(), key.rsa_,
                                      rsa_pkcs1_oaep_padding);
    if (n < 0 || n > size) return std::nullopt;
    plain.resize(static_cast<size_t>(n));
    return plain;
}

std::optional<AesSession> AesSession::create(const CryptoBinding& crypto, std::span<const uint8_t> key) {
    if (!crypto.bound() || key.size() < key_size) return std::nullopt;
    AesSession s(&crypto);
    if (crypto.api_->AES_set_encrypt_key(key.data(), 256, &s.enc_) != 0 ||
        crypto.api_->AES_set_decrypt_key(key.data(), 256, &s.dec_) != 0)
        return std::nullopt;
    return s;
}

bool AesSession::encrypt(std::span<uint8_t> region) const {
    if (region.size() % block_size != 0) return false;
    for (size_t i = 0; i < region.size(); i += block_size)
        crypto_->api_->AES_encrypt(region.data() + i, region.data() + i, &enc_);
    return true;
}

bool AesSession::decrypt(std::span<uint8_t> region) const {
    if (region.size() % block_size != 0) return false;
    for (size_t i = 0; i < region.size(); i += block_size)
        crypto_->api_->AES_decrypt(region.data() + i, region.data() + i, &dec_);
    return true;
}

namespace {

std::mutex process_name_lock;
std::string process_file_name;
bool process_binding_made = false;

}  // namespace

void set_process_crypto_library(std::string file) {
    std::lock_guard lock(process_name_lock);
    if (!process_binding_made) process_file_name = std::move(file);
}

CryptoBinding& process_crypto() {
    static CryptoBinding* binding = [] {
        std::lock_guard lock(process_name_lock);
        process_binding_made = true;
        std::string name = process_file_name;
        if (name.empty()) {
            const char* env = std::getenv("TORVALEN_LIBCRYPTO");
            name = env && *env ? env : "libcrypto.so.3";
        }
        // Lives for the process: keys and sessions made through it may be freed late.
        return new CryptoBinding(std::move(name));
    }();
    return *binding;
}

}  // namespace torvalen::stl

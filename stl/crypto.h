// Run-time binding of the cryptographic library (OpenSSL 3's libcrypto.so.3) for
// the link's session security: RSA key pairs (2048 bits, exponent 3), the public key
// as PEM ("BEGIN RSA PUBLIC KEY", PKCS#1), RSA with OAEP padding (SHA-1, MGF1-SHA-1,
// empty label), AES-256 key schedules for ECB blocks, and random bytes.
//
// The library is opened with dlopen on the first successful bind(); every function
// the link uses must be found, or the library is closed again and counts as absent
// (the link then runs unencrypted, or refuses a peer that demands encryption). A
// lock guards loading; once loaded, the binding stays for the life of the process.
// The calls themselves need no lock: OpenSSL 3 is thread-safe and every object
// (key, schedule) is used by one connection at a time.
//
// The process uses one binding, process_crypto(). Its file name is
// "libcrypto.so.3", or the TORVALEN_LIBCRYPTO environment variable, or what
// set_process_crypto_library() sets before the first use. Tests may create their
// own binding on another (for example missing) file.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace torvalen::stl {

class CryptoBinding;

// An RSA key pair; frees itself through its binding.
class RsaKeyPair {
public:
    RsaKeyPair() = default;
    RsaKeyPair(RsaKeyPair&& o) noexcept : binding_(o.binding_), rsa_(o.rsa_) { o.rsa_ = nullptr; }
    RsaKeyPair& operator=(RsaKeyPair&& o) noexcept;
    RsaKeyPair(const RsaKeyPair&) = delete;
    RsaKeyPair& operator=(const RsaKeyPair&) = delete;
    ~RsaKeyPair();
    explicit operator bool() const { return rsa_ != nullptr; }
    // The library's RSA object (for direct use of the library, e.g. in tests).
    void* native_handle() const { return rsa_; }

private:
    friend class CryptoBinding;
    RsaKeyPair(const CryptoBinding* b, void* rsa) : binding_(b), rsa_(rsa) {}
    const CryptoBinding* binding_ = nullptr;
    void* rsa_ = nullptr;
};

// The library's AES_KEY: the expanded key and the number of rounds.
struct AesSchedule {
    uint32_t rd_key[60];
    int rounds;
};

// The two AES-256 schedules of an encrypted session, derived from its 32-byte key.
class AesSession {
public:
    static constexpr size_t key_size = 32;
    static constexpr size_t block_size = 16;
    // Empty when the binding is not loaded or the library refuses the key.
    static std::optional<AesSession> create(const CryptoBinding& crypto, std::span<const uint8_t> key);
    // ECB, block by block, in place. Both fail when the size is not a multiple of 16.
    bool encrypt(std::span<uint8_t> region) const;
    bool decrypt(std::span<uint8_t> region) const;

private:
    explicit AesSession(const CryptoBinding* c) : crypto_(c) {}
    const CryptoBinding* crypto_;
    AesSchedule enc_{};
    AesSchedule dec_{};
};

class CryptoBinding {
public:
    explicit CryptoBinding(std::string library_file);
    CryptoBinding(const CryptoBinding&) = delete;
    CryptoBinding& operator=(const CryptoBinding&) = delete;
    // A loaded library stays loaded (keys made through it may outlive the binding).
    ~CryptoBinding() = default;

    // True when the library and all its functions are available; loads it on the
    // first successful call and retries on later calls after a failure.
    bool bind();
    bool bound() const { return loaded_.load(std::memory_order_acquire); }
    const std::string& library_file() const { return file_; }

    // All of the following fail (empty result, false) when the binding is not loaded.
    bool random_bytes(std::span<uint8_t> out) const;
    bool random_seeded() const;
    void seed_random(std::span<const uint8_t> entropy) const;
    // A 2048-bit RSA key pair with public exponent 3 (takes a while: run it on a
    // background thread).
    RsaKeyPair generate_key_pair() const;
    // The public half as PEM text ("-----BEGIN RSA PUBLIC KEY-----", 64-column lines).
    std::optional<std::string> public_key_pem(const RsaKeyPair& key) const;
    // RSA-OAEP with the public key given as PEM text (as the client sends it).
    std::optional<std::vector<uint8_t>> oaep_encrypt(std::span<const uint8_t> pem,
                                                     std::span<const uint8_t> plain) const;
    // RSA-OAEP with the private key.
    std::optional<std::vector<uint8_t>> oaep_decrypt(const RsaKeyPair& key,
                                                     std::span<const uint8_t> cipher) const;

private:
    friend class RsaKeyPair;
    friend class AesSession;
    struct Api;
    void free_rsa(void* rsa) const;

    std::string file_;
    std::mutex load_lock_;
    std::atomic<bool> loaded_{false};
    Api* api_ = nullptr;  // set once, before loaded_ becomes true; never freed
};

// Sets the process binding's file name; only effective before its first use.
void set_process_crypto_library(std::string file);
CryptoBinding& process_crypto();

}  // namespace torvalen::stl

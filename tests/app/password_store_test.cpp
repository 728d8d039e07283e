#include "app/password_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/temp_dir.h"

namespace torvalen {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

using testing::read_file;

unsigned mode_of(const fs::path& file) {
    struct stat st {};
    EXPECT_EQ(::stat(file.c_str(), &st), 0);
    return st.st_mode & 07777;
}

class PasswordStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(temp_.ok());
        dir_ = temp_.path();
        file_ = dir_ / "password";
    }

    testing::TempDir temp_{"password_store_test"};
    fs::path dir_;
    fs::path file_;
};

TEST_F(PasswordStoreTest, SetVerifyRemove) {
    PasswordStore store(file_);
    EXPECT_FALSE(store.has_password());
    EXPECT_FALSE(store.verify("Secret#1"));
    EXPECT_FALSE(store.verify(""));
    EXPECT_TRUE(store.remove()) << "removing nothing succeeds";

    ASSERT_TRUE(store.set("Secret#1"));
    EXPECT_TRUE(store.has_password());
    EXPECT_TRUE(PasswordStore(file_).verify("Secret#1")) << "a second reader of the same file";
    EXPECT_FALSE(store.verify("secret#1"));
    EXPECT_FALSE(store.verify("Secret#"));
    EXPECT_FALSE(store.verify("Secret#12"));
    EXPECT_FALSE(store.verify("Secret#1\0tail"s));
    EXPECT_FALSE(store.verify(""));

    ASSERT_TRUE(store.set("Other*2x"));
    EXPECT_FALSE(store.verify("Secret#1"));
    EXPECT_TRUE(store.verify("Other*2x"));

    EXPECT_TRUE(store.remove());
    EXPECT_FALSE(store.has_password());
    EXPECT_FALSE(store.verify("Other*2x"));
    EXPECT_FALSE(fs::exists(file_));
    EXPECT_TRUE(store.remove());
}

TEST_F(PasswordStoreTest, StoresOnlyASaltedHashReadableByTheOwner) {
    PasswordStore store(file_);
    ASSERT_TRUE(store.set("Secret#1"));
    EXPECT_EQ(mode_of(file_), 0600u);
    const std::string first = read_file(file_);
    EXPECT_EQ(first.rfind("$y$", 0), 0u) << first;
    EXPECT_EQ(first.find("Secret#1"), std::string::npos);

    // A file someone widened is replaced by an owner-only one; the salt changes.
    ASSERT_EQ(::chmod(file_.c_str(), 0644), 0);
    ASSERT_TRUE(store.set("Secret#1"));
    EXPECT_EQ(mode_of(file_), 0600u);
    EXPECT_NE(read_file(file_), first);
    EXPECT_TRUE(store.verify("Secret#1"));

    // No temporary files are left next to it.
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST_F(PasswordStoreTest, RefusesWhatItCannotStoreAndStaysLockedWhenDamaged) {
    PasswordStore store(file_);
    EXPECT_FALSE(store.set(""));
    EXPECT_FALSE(store.set("Secret#1\0x"s));
    EXPECT_FALSE(store.has_password());

    PasswordStore nowhere(dir_ / "missing" / "password");
    EXPECT_FALSE(nowhere.set("Secret#1"));
    EXPECT_FALSE(nowhere.has_password());

    { std::ofstream(file_) << ""; }
    EXPECT_FALSE(store.has_password()) << "an empty file holds no password";
    EXPECT_FALSE(store.verify("anything"));

    { std::ofstream(file_) << "not a hash\n"; }
    EXPECT_TRUE(store.has_password()) << "a damaged store stays locked";
    EXPECT_FALSE(store.verify("not a hash"));
}

TEST(PasswordStrength, FollowsTheRule) {
    EXPECT_TRUE(password_is_strong("Abcdef1!"));     // 8: upper, lower, digit, punctuation
    EXPECT_TRUE(password_is_strong("x~Y9xxxx"));
    EXPECT_FALSE(password_is_strong("ABCDEFGH12!?"));  // 12 without lower case
    EXPECT_FALSE(password_is_strong("Abcde1!"));       // 7
    EXPECT_FALSE(password_is_strong("abcdefg1!"));     // no upper case
    EXPECT_FALSE(password_is_strong("Abcdefgh!"));     // no digit
    EXPECT_FALSE(password_is_strong("Abcdefg12"));     // no punctuation
    EXPECT_FALSE(password_is_strong("Abcdef1 "));      // a space is not punctuation
    EXPECT_FALSE(password_is_strong("Abcd1!\xc3\xa9")) << "7 characters, 8 bytes";
    EXPECT_TRUE(password_is_strong("Abcd1!\xc3\xa9z"));
    EXPECT_FALSE(password_is_strong(""));
}

}  // namespace
}  // namespace torvalen

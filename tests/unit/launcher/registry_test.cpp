// The registry stand-in's store and its command-line tool.
#include "platform/registry.h"
#include "tests/unit/launcher/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using nimbra::registry::Key;
using nimbra::registry::RootKey;
using nimbra::registry::Status;
using nimbra::registry::Store;

constexpr const char* kInstallKey = "Software\\Tarvex\\Brae\\Install";
constexpr RootKey kUser = RootKey::current_user;

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "nimbra-registry-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
    }
    void TearDown() override { fs::remove_all(root_); }

    Store store() const { return Store((root_ / "registry").string()); }
    std::string StoreFile() const { return store().file_for(kUser); }

    std::string StoreText() const
    {
        std::ifstream in(StoreFile(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

    void WriteStore(const std::string& text) const
    {
        fs::create_directories(store().directory());
        std::ofstream(StoreFile(), std::ios::binary) << text;
    }

    // The value as the launcher reads it, or the status that stopped the read.
    Status Get(std::string_view key_name, std::string_view name, std::string& data) const
    {
        Key key;
        if (Status status = store().open_key(kUser, key_name, key); status != Status::ok)
            return status;
        uint32_t size = 0;
        Status status = query_value(key, name, nullptr, size);
        if (status == Status::ok) {
            data.assign(size, '\0');
            status = query_value(key, name, data.data(), size);
            data.resize(size - 1);
        }
        close_key(key);
        return status;
    }

    fs::path root_;
};

TEST_F(RegistryTest, ValuesRoundTripByteForByte)
{
    const std::string values[] = {
        "/opt/nimbra/",
        "C:\\Program Files\\Brae\\",
        "say \"hi\"",
        std::string("nul\0inside\r\nand\x7f", 17),
        "\xB0\xB2\xD7\xB0\xDF\x5C",  // GBK, the last trail byte is 0x5C
        "",
    };
    for (const std::string& value : values) {
        SCOPED_TRACE(value);
        ASSERT_EQ(store().set_value(kUser, kInstallKey, "Path", value), Status::ok);
        std::string read;
        ASSERT_EQ(Get(kInstallKey, "Path", read), Status::ok);
        EXPECT_EQ(read, value);
        const std::string text = StoreText();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5);  // the value on one line, whatever its bytes
    }
}

TEST_F(RegistryTest, FileFormatIsTheDocumentedOne)
{
    ASSERT_EQ(store().set_value(kUser, kInstallKey, "Path", "C:\\Brae\\"), Status::ok);
    ASSERT_EQ(store().set_value(kUser, kInstallKey, "Tab", "a\tb"), Status::ok);
    const std::string text = StoreText();
    EXPECT_NE(text.find("\n[HKEY_CURRENT_USER\\Software\\Tarvex\\Brae\\Install]\n"
                        "\"Path\"=\"C:\\\\Brae\\\\\"\n"
                        "\"Tab\"=\"a\\x09b\"\n"),
              std::string::npos)
        << text;
}

TEST_F(RegistryTest, MissingKeyAndMissingValueAreTold)
{
    std::string data;
    EXPECT_EQ(Get(kInstallKey, "Path", data), Status::not_found);  // no store file at all

    ASSERT_EQ(store().set_value(kUser, kInstallKey, "Version", "1.0"), Status::ok);
    EXPECT_EQ(Get(kInstallKey, "Path", data), Status::not_found);

    Key key;
    EXPECT_EQ(store().open_key(kUser, kInstallKey, key), Status::ok);
    EXPECT_EQ(store().open_key(kUser, "Software\\Tarvex", key), Status::ok);  // parents exist
    EXPECT_TRUE(key.values.empty());
    EXPECT_EQ(store().open_key(kUser, "", key), Status::ok);
    EXPECT_EQ(store().open_key(kUser, "Software\\Tarvex\\Brae\\Install\\More", key), Status::not_found);
    EXPECT_EQ(store().open_key(kUser, "Software\\Tarv", key), Status::not_found);
    EXPECT_EQ(store().open_key(kUser, "software\\tarvex\\brae\\install", key), Status::not_found);
    EXPECT_FALSE(key.open);

    uint32_t size = 10;
    char buffer[10];
    EXPECT_EQ(query_value(key, "Path", buffer, size), Status::invalid_handle);
}

TEST_F(RegistryTest, SmallBufferReportsTheSizeNeeded)
{
    ASSERT_EQ(store().set_value(kUser, kInstallKey, "Path", std::string(259, 'x')), Status::ok);
    Key key;
    ASSERT_EQ(store().open_key(kUser, kInstallKey, key), Status::ok);
    char buffer[300];

    uint32_t size = 259;
    EXPECT_EQ(query_value(key, "Path", buffer, size), Status::more_data);
    EXPECT_EQ(size, 260u);

    size = 260;
    EXPECT_EQ(query_value(key, "Path", buffer, size), Status::ok);
    EXPECT_EQ(size, 260u);
    EXPECT_EQ(buffer[258], 'x');
    EXPECT_EQ(buffer[259], '\0');
}

TEST_F(RegistryTest, SetReplacesDeleteRemovesAndOtherLinesStay)
{
    WriteStore("; kept comment\n"
               "[HKEY_CURRENT_USER\\Software\\Other]\n"
               "\"Name\"=\"other\"\n"
               "\n"
               "[HKEY_CURRENT_USER\\Software\\Tarvex\\Brae\\Install]\n"
               "\"Path\"=\"/old/\"\n"
               "\"Version\"=\"1.0\"\n");
    ASSERT_EQ(store().set_value(kUser, kInstallKey, "Path", "/new/"), Status::ok);
    ASSERT_EQ(store().set_value(kUser, "Software\\Other", "Added", "yes"), Status::ok);
    ASSERT_EQ(store().delete_value(kUser, kInstallKey, "Version"), Status::ok);
    EXPECT_EQ(store().delete_value(kUser, kInstallKey, "Version"), Status::not_found);
    EXPECT_EQ(store().delete_value(kUser, "Software\\Nowhere", "Version"), Status::not_found);

    EXPECT_EQ(StoreText(), "; kept comment\n"
                           "[HKEY_CURRENT_USER\\Software\\Other]\n"
                           "\"Name\"=\"other\"\n"
                           "\"Added\"=\"yes\"\n"
                           "\n"
                           "[HKEY_CURRENT_USER\\Software\\Tarvex\\Brae\\Install]\n"
                           "\"Path\"=\"/new/\"\n");
    Key key;
    ASSERT_EQ(store().delete_value(kUser, kInstallKey, "Path"), Status::ok);
    EXPECT_EQ(store().open_key(kUser, kInstallKey, key), Status::ok);  // the key outlives its values
    EXPECT_TRUE(key.values.empty());
}

TEST_F(RegistryTest, InvalidNamesAreRefused)
{
    for (const char* name : {"\\Software", "Software\\", "Software\\\\Tarvex", "Soft\nware"}) {
        SCOPED_TRACE(name);
        Key key;
        EXPECT_EQ(store().open_key(kUser, name, key), Status::invalid_name);
        EXPECT_EQ(store().set_value(kUser, name, "Path", "x"), Status::invalid_name);
    }
    EXPECT_EQ(store().set_value(kUser, std::string(256, 'k'), "Path", "x"), Status::invalid_name);
    EXPECT_FALSE(fs::exists(StoreFile()));
}

TEST_F(RegistryTest, MalformedStoreNamesFileLineAndColumn)
{
    struct Case {
        const char* text;
        const char* where;  // line:column
    } cases[] = {
        {"\"Path\"=\"x\"\n", "1:1"},
        {"[HKEY_CURRENT_USER\\A]\n  \"Path\"=\"x\n", "2:10"},
        {"[HKEY_CURRENT_USER\\A]\n\"Path\"=\"a\\qb\"\n", "2:10"},
        {"[HKEY_CURRENT_USER\\A]\n\"Path\" \"x\"\n", "2:8"},
        {"[HKEY_CURRENT_USER\\A]\n\"Path\"=\"x\" trailing\n", "2:12"},
        {"[HKEY_LOCAL_MACHINE\\A]\n", "1:2"},
        {"[HKEY_CURRENT_USER\\A\n", "1:1"},
        {"[HKEY_CURRENT_USER\\A]\n[HKEY_CURRENT_USER\\A]\n", "2:1"},
        {"[HKEY_CURRENT_USER\\A]\n\"P\"=\"1\"\n\"P\"=\"2\"\n", "3:1"},
        {"[HKEY_CURRENT_USER\\A]\nPath=x\n", "2:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        WriteStore(c.text);
        Key key;
        std::string detail;
        EXPECT_EQ(store().open_key(kUser, "A", key, &detail), Status::bad_store);
        EXPECT_EQ(detail.rfind(StoreFile() + ":" + c.where + ": ", 0), 0u) << detail;
        EXPECT_EQ(store().set_value(kUser, "A", "P", "3"), Status::bad_store);  // never overwritten
        EXPECT_EQ(StoreText(), c.text);
    }
}

TEST_F(RegistryTest, CommandLineToolConvertsBetweenUtf8AndGbk)
{
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), NIMBRA_REG_BINARY);
        return nimbra::test::RunProcess(args, {"XDG_CONFIG_HOME=" + root_.string(), "HOME=" + root_.string()});
    };
    const Store user_store((root_ / "nimbra/registry").string());
    const std::string utf8 = "/opt/\xE5\xAE\x89\xE8\xA3\x85/";  // "/opt/安装/"

    EXPECT_EQ(run({"set", "HKCU\\Software\\Tarvex\\Brae\\Install", "Path", utf8}).exit_code, 0);
    std::string stored;
    Key key;
    ASSERT_EQ(user_store.open_key(kUser, kInstallKey, key), Status::ok);
    ASSERT_EQ(key.values.size(), 1u);
    EXPECT_EQ(key.values[0].second, "/opt/\xB0\xB2\xD7\xB0/");

    auto got = run({"get", kInstallKey, "Path"});
    EXPECT_EQ(got.exit_code, 0) << got.err;
    EXPECT_EQ(got.out, utf8 + "\n");
    EXPECT_EQ(run({"--raw", "get", kInstallKey, "Path"}).out, "/opt/\xB0\xB2\xD7\xB0/\n");

    EXPECT_EQ(run({"delete", kInstallKey, "Path"}).exit_code, 0);
    auto missing = run({"get", kInstallKey, "Path"});
    EXPECT_EQ(missing.exit_code, 1);
    EXPECT_NE(missing.err.find("Path"), std::string::npos) << missing.err;
    EXPECT_EQ(run({"get", "Software\\Nowhere", "Path"}).exit_code, 1);
    EXPECT_EQ(run({"set", kInstallKey, "Path", "\xFF"}).exit_code, 2);  // not UTF-8
    EXPECT_EQ(run({"frobnicate"}).exit_code, 2);
}

}  // namespace

// gbk_literals, the build tool that gives a compiler without -fexec-charset=GBK the
// routines' sources with their literal text spelt as GBK escapes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

struct Result {
    int status = -1;
    std::string out;
};

Result transcode(const std::string& source)
{
    std::string dir = "/tmp/gbk-literals-" + std::to_string(getpid());
    std::string in = dir + ".cpp", out = dir + ".out.cpp";
    std::ofstream(in, std::ios::binary) << source;
    std::string command = std::string(GBK_LITERALS) + " " + in + " " + out + " 2>/dev/null";
    Result result;
    int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream file(out, std::ios::binary);
    result.out = std::string(std::istreambuf_iterator<char>(file), {});
    std::remove(in.c_str());
    std::remove(out.c_str());
    return result;
}

// The output after the #line directive that points the compiler back at the source.
std::string body(const Result& r)
{
    size_t line_end = r.out.find('\n');
    EXPECT_EQ(r.out.rfind("#line 1 \"", 0), 0u) << r.out;
    return line_end == std::string::npos ? r.out : r.out.substr(line_end + 1);
}

TEST(GbkLiterals, SpellsLiteralTextAsGbkAndCopiesEverythingElse)
{
    struct Case {
        const char* what;
        std::string source;
        std::string expected;
    } cases[] = {
        {"a text", "f(\"广东\");\n", "f(\"\\271\\343\\266\\253\");\n"},
        // 誠 is D5 5C in GBK: its trail byte must not become the start of an escape.
        {"a trail byte that is a backslash", "\"誠n\"", "\"\\325\\134n\""},
        {"escapes and ASCII kept", "\"a\\\"b\\x41天\"", "\"a\\\"b\\x41\\314\\354\""},
        {"a character literal", "'\\''; '天'", "'\\''; '\\314\\354'"},
        {"comments keep their text and quotes", "// it's 天气\n/* \"天\" */ x", "// it's 天气\n/* \"天\" */ x"},
        {"a digit separator is no quote", "int n = 1'000; \"天\"", "int n = 1'000; \"\\314\\354\""},
        {"a prefixed literal of ASCII", "u8\"ok\" L\"w\"", "u8\"ok\" L\"w\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Result r = transcode(c.source);
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(body(r), c.expected);
    }
}

TEST(GbkLiterals, RefusesWhatItCannotSpellAsGccWould)
{
    for (const std::string source : {"u8\"天\"", "R\"(天)\"", "\"😀\"", "\"open", "/* open"}) {
        SCOPED_TRACE(source);
        EXPECT_EQ(transcode(source).status, 1);
    }
}

}  // namespace

// CommandLineToArgvW: program name rules, quoting and backslash rules of later arguments,
// the empty line, and the single-block result.
#include <gtest/gtest.h>
#include <windows.h>
#include <shellapi.h>
#include <platform/machine_state.h>
#include <string>
#include <vector>

namespace {

class CommandLineTests : public ::testing::Test {
protected:
    void SetUp() override { platform::machine_boot(); }
    void TearDown() override { platform::machine_shutdown(); }

    static std::vector<std::wstring> split(const WCHAR *line)
    {
        int count = -1;
        LPWSTR *argv = CommandLineToArgvW(line, &count);
        EXPECT_NE(nullptr, argv);
        std::vector<std::wstring> result;
        if (argv == nullptr) {
            return result;
        }
        for (int i = 0; i < count; ++i) {
            result.emplace_back(argv[i]);
        }
        EXPECT_EQ(nullptr, argv[count]);
        EXPECT_EQ(nullptr, LocalFree(argv));
        return result;
    }
};

using args = std::vector<std::wstring>;

TEST_F(CommandLineTests, QuotedPathsWithBlanksStayWhole)
{
    EXPECT_EQ((args{L"C:\\Program Files\\Orvan\\tool.exe", L"C:\\Program Files\\Orvan\\a.inf", L"USB\\VID_3A51&PID_0201"}),
              split(L"\"C:\\Program Files\\Orvan\\tool.exe\" \"C:\\Program Files\\Orvan\\a.inf\" \"USB\\VID_3A51&PID_0201\""));
    EXPECT_EQ((args{L"tool", L"a", L"b"}), split(L"tool   a\tb  "));
}

TEST_F(CommandLineTests, BackslashesBeforeQuotesFollowTheRuntimeRules)
{
    struct row {
        const WCHAR *line;
        args expected;
    };
    const row rows[] = {
        {L"p a\\\\\"b c\"", {L"p", L"a\\b c"}},      // 2 backslashes + quote: one backslash, quote opens
        {L"p a\\\"b", {L"p", L"a\"b"}},              // 1 backslash + quote: literal quote
        {L"p a\\\\\\\"b", {L"p", L"a\\\"b"}},        // 3 backslashes + quote
        {L"p C:\\dir\\ x", {L"p", L"C:\\dir\\", L"x"}}, // backslashes not before a quote are literal
        {L"p \"a\"\"b\"", {L"p", L"a\"b"}},          // "" inside quotes is a quote
        {L"p \"\"", {L"p", L""}},                    // an empty quoted argument counts
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << std::string(r.line, r.line + std::wcslen(r.line)));
        EXPECT_EQ(r.expected, split(r.line));
    }
}

TEST_F(CommandLineTests, ProgramNameTakesNoEscapes)
{
    EXPECT_EQ((args{L"C:\\a\\", L"x"}), split(L"\"C:\\a\\\" x"));
    // A leading blank leaves an empty program name.
    EXPECT_EQ((args{L"", L"x"}), split(L" x"));
}

TEST_F(CommandLineTests, EmptyLineGivesTheProgramPathAndNullCountIsRefused)
{
    const args result = split(L"");
    ASSERT_EQ(1u, result.size());
    EXPECT_FALSE(result[0].empty());
    SetLastError(0);
    EXPECT_EQ(nullptr, CommandLineToArgvW(L"a b", nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

} // namespace

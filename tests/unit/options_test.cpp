// Every option of each program's table is in its help, its bash completion and its manual
// page, and none of them names an option the table does not have.
#include "app/options.h"
#include "mcfeed.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

using names = std::set<std::string>;

std::string source_file(const char *path)
{
    std::ifstream in(std::string(MCWATCH_SOURCE_DIR) + "/" + path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

names dashed_words(const std::string &text)
{
    static const std::regex word(R"((?:^|[\s"'])(--?[A-Za-z][a-z0-9-]*))");
    names found;
    for (std::sregex_iterator at(text.begin(), text.end(), word), end; at != end; ++at)
        found.insert((*at)[1]);
    return found;
}

// The words of the completion's `local NAME='...'` list.
names completion_words(const char *file, const char *list)
{
    std::string text = source_file(file);
    std::string head = std::string("local ") + list + "='";
    size_t start = text.find(head);
    if (start == std::string::npos)
        return {};
    start += head.size();
    std::istringstream words(text.substr(start, text.find('\'', start) - start));
    names found;
    for (std::string word; words >> word;)
        found.insert(word);
    return found;
}

// The options that head an entry of the page's OPTIONS section.
names manual_options(const char *file)
{
    std::string text = std::regex_replace(source_file(file), std::regex(R"(\\-)"), "-");
    size_t start = text.find("\n.SH OPTIONS\n");
    if (start == std::string::npos)
        return {};
    std::string section = text.substr(start, text.find("\n.SH ", start + 1) - start);
    std::string heads;
    static const std::regex entry(R"(\n\.TP\n([^\n]*))");
    for (std::sregex_iterator at(section.begin(), section.end(), entry), end; at != end; ++at)
        heads += (*at)[1].str() + "\n";
    return dashed_words(heads);
}

names split_list(const char *list, const char *separators)
{
    names found;
    std::string text = list;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find_first_of(separators, at);
        end = end == std::string::npos ? text.size() : end;
        if (end > at)
            found.insert(text.substr(at, end - at));
        at = end + 1;
    }
    return found;
}

TEST(OptionTable, HelpCompletionAndManualNameEveryOptionAndNoOther)
{
    names table;
    const command_option *format = nullptr;
    for (int i = 0; i < command_option_count; i++) {
        const command_option &o = command_options[i];
        if (o.short_name != '\0')
            table.insert(std::string("-") + o.short_name);
        if (o.long_name != nullptr)
            table.insert(std::string("--") + o.long_name);
        if (o.long_name != nullptr && std::string(o.long_name) == "format")
            format = &o;
        // A number kept in 32 bits fits them at its most.
        if (o.number32 != nullptr) {
            EXPECT_LE(o.most * o.scale, UINT32_MAX) << o.help;
        }
    }
    testing::internal::CaptureStdout();
    print_help();
    std::string help = testing::internal::GetCapturedStdout();
    names in_help;
    static const std::regex option_line(R"((?:^|\n)  (?:(-\w)|    )(?:, )?(--[a-z0-9-]+)?)");
    for (std::sregex_iterator at(help.begin(), help.end(), option_line), end; at != end; ++at)
        for (int part = 1; part <= 2; part++)
            if ((*at)[part].matched)
                in_help.insert((*at)[part]);
    EXPECT_EQ(in_help, table);
    EXPECT_LT(std::count(help.begin(), help.end(), '\n'), 60);
    EXPECT_EQ(completion_words("contrib/bash-completion/mcwatch", "options"), table);
    EXPECT_EQ(manual_options("man/mcwatch.1"), table);

    ASSERT_NE(format, nullptr);
    names formats = split_list(layout_preset_names, ", ");
    EXPECT_EQ(split_list(format->values, ", "), formats);
    EXPECT_EQ(completion_words("contrib/bash-completion/mcwatch", "formats"), formats);
    EXPECT_EQ(completion_words("contrib/bash-completion/mcfeed", "formats"), formats);
}

TEST(OptionTable, McfeedCompletionAndManualNameEveryOptionAndNoOther)
{
    names table;
    for (const char *letter = feed_short_options; *letter != '\0'; letter++)
        if (*letter != ':')
            table.insert(std::string("-") + *letter);
    for (const option *entry = feed_long_options; entry->name != nullptr; entry++)
        table.insert(std::string("--") + entry->name);
    EXPECT_EQ(completion_words("contrib/bash-completion/mcfeed", "options"), table);
    EXPECT_EQ(manual_options("man/mcfeed.1"), table);
}

} // namespace

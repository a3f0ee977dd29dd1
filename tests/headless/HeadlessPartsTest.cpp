// The headless front end's command line and protocol printer, in process.
#include "app/headless/HeadlessArgs.h"
#include "app/headless/HeadlessPrinter.h"
#include "common/ScriptedInteraction.h"
#include "common/TestEnv.h"
#include "protocol/RunProtocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

using namespace k5;

namespace {

// The flags as one line: what was set, or the error.
std::string Parsed(const std::string& args) {
    std::vector<std::string> words{"K5VedovodeduzOR"};
    std::istringstream in(args);
    for (std::string w; in >> w;)
        words.push_back(w == "''" ? std::string() : w);
    std::vector<const char*> argv;
    for (const std::string& w : words)
        argv.push_back(w.c_str());
    std::string error;
    const std::optional<HeadlessFlags> f = ParseFlags(static_cast<int>(argv.size()), argv.data(), error);
    if (!f) return "error: " + error;
    const FixedRunOptions& o = f->options;
    std::string out = std::string(f->batch ? "batch" : "") + (f->help ? " help" : "") +
                      (f->checkOnly ? " check-only" : "") + " folder=" + o.folderText +
                      " limit=" + o.limitText;
    for (const auto& [set, name] : {std::pair{o.removeOrphaned, " orphaned"},
                                    {o.clearPfrErrors, " pfr"},
                                    {o.removeOrphanedBigDocs, " orphaned-bigdocs"},
                                    {o.compactBigDocs, " compact-bigdocs"},
                                    {o.zipAndRename, " zip"}})
        if (set) out += name;
    return out;
}

} // namespace

TEST(HeadlessArgs, AcceptedAndRefused) {
    const std::pair<const char*, const char*> cases[] = {
        {"--batch", "batch folder= limit=0"},
        {"--help", " help folder= limit=0"},
        {"-h", " help folder= limit=0"},
        {"--batch --check-only --folder /д/б --limit 0012", "batch check-only folder=/д/б limit=12"},
        {"--batch --remove-orphaned --clear-pfr-errors --remove-orphaned-bigdocs --compact-bigdocs "
         "--zip-and-rename",
         "batch folder= limit=0 orphaned pfr orphaned-bigdocs compact-bigdocs zip"},
        {"--batch --limit 2147483647", "batch folder= limit=2147483647"},
        {"--check-only", "error: не задан параметр --batch"},
        {"--batch --autorun", "error: неизвестный параметр: --autorun"},
        {"--batch --folder", "error: не задано значение параметра --folder"},
        {"--batch --folder ''", "error: пустое значение параметра --folder"},
        {"--batch --limit", "error: не задано значение параметра --limit"},
        {"--batch --limit -3",
         "error: значение параметра --limit должно быть целым числом от 0 до 2147483647: -3"},
        {"--batch --limit 2147483648",
         "error: значение параметра --limit должно быть целым числом от 0 до 2147483647: 2147483648"},
    };
    for (const auto& [args, expected] : cases)
        EXPECT_EQ(Parsed(args), expected) << args;
}

namespace {

// What the printer writes for what `write` puts in a protocol, on a terminal or not; every
// stamp is shown as "S: ".
std::string Printed(bool terminal, const std::function<void(RunProtocol&)>& write) {
    char* buffer = nullptr;
    size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    {
        RunState state;
        ScriptedInteraction ui;
        k5test::TestEnv env;
        env.protocolTime = k5test::LocalTime(2021, 3, 15, 9, 5, 7);
        RunProtocol log(state, ui, env);
        ProtocolPrinter printer(out, terminal, nullptr);
        log.AddListener(printer);
        write(log);
        printer.Finish();
    }
    std::fclose(out);
    std::string text(buffer, size);
    std::free(buffer);
    const std::string stamp = "2021.03.15 09:05:07: ";
    for (size_t at; (at = text.find(stamp)) != std::string::npos;)
        text.replace(at, stamp.size(), "S: ");
    return text;
}

} // namespace

TEST(HeadlessPrinter, StepsLinesAndColours) {
    const struct {
        const char* what;
        bool terminal;
        std::function<void(RunProtocol&)> write;
        std::string printed;
    } cases[] = {
        {"a begun step closed in place is one line", false,
         [](RunProtocol& l) {
             l.LogAddBegin("Сжатие", true);
             l.LogAddEnd(" завершено.", true);
         },
         "S: Сжатие завершено.\n"},
        {"the stamp stays plain, each piece in its colour and weight", true,
         [](RunProtocol& l) {
             l.LogAddBegin("Сжатие", true, kColourGreen);
             l.LogAddEnd(" с ошибкой.", false, std::nullopt, true);
         },
         "S: \033[32mСжатие\033[0m\033[1m\033[31m с ошибкой.\033[0m\n"},
        {"red, magenta and any other colour as 24-bit", true,
         [](RunProtocol& l) {
             l.LogAdd("a", false, kColourRed);
             l.LogAdd("b", true, kColourMagenta);
             l.LogAdd("c", true, 0x123456);
         },
         "S: \033[91ma\033[0m\nS: \033[35mb\033[0m\nS: \033[38;2;86;52;18mc\033[0m\n"},
        {"an entry after an open step leaves its marker in the step's colour", true,
         [](RunProtocol& l) {
             l.LogAddBegin("a", false);
             l.LogAdd("b", true);
         },
         "S: \033[31ma\033[0m\033[31m ...\033[0mS: b\n"},
        {"a step left open at the end, at a clear and at a failure keeps its marker", false,
         [](RunProtocol& l) {
             l.LogAddBegin("a", true);
             l.ClearPane();
             l.LogAddBegin("b", true);
             l.EndOpenStep();
             l.LogAddBegin("c\r\nd", true);
         },
         "S: a ...\nS: b ...\nS: c\nd ...\n"},
        {"a closing half with no open step stands on its own", false,
         [](RunProtocol& l) { l.LogAddEnd("Переименовано файлов: 0", true); }, "Переименовано файлов: 0\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Printed(c.terminal, c.write), c.printed) << c.what;
}

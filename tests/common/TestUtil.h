#pragma once
// Small helpers shared by the test programs.
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace k5test {

inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Runs a shell command and gives its standard output.
inline std::string Shell(const std::string& command, int* exitCode = nullptr) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (!p) return out;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0)
        out.append(buf.data(), n);
    int status = pclose(p);
    if (exitCode) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

inline std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Decodes the numeric and the common named HTML entities (what unrtf --html writes).
inline std::string DecodeHtmlEntities(const std::string& html) {
    std::string out;
    for (size_t i = 0; i < html.size(); ++i) {
        if (html[i] == '&') {
            size_t semi = html.find(';', i);
            if (semi != std::string::npos && semi - i < 10) {
                std::string ent = html.substr(i + 1, semi - i - 1);
                unsigned long cp = 0;
                bool ok = true;
                if (!ent.empty() && ent[0] == '#')
                    cp = std::stoul(ent.substr(1));
                else if (ent == "amp")
                    cp = '&';
                else if (ent == "lt")
                    cp = '<';
                else if (ent == "gt")
                    cp = '>';
                else if (ent == "quot")
                    cp = '"';
                else
                    ok = false;
                if (ok) {
                    if (cp < 0x80)
                        out += static_cast<char>(cp);
                    else if (cp < 0x800) {
                        out += static_cast<char>(0xC0 | (cp >> 6));
                        out += static_cast<char>(0x80 | (cp & 0x3F));
                    } else {
                        out += static_cast<char>(0xE0 | (cp >> 12));
                        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                        out += static_cast<char>(0x80 | (cp & 0x3F));
                    }
                    i = semi;
                    continue;
                }
            }
        }
        out += html[i];
    }
    return out;
}

} // namespace k5test

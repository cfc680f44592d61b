// The title normaliser and the bigram split take any bytes: the result holds only lower-case ASCII
// letters, numbers and single inner blanks, and the numbered bigrams the matcher works on say
// "equal" exactly where the bigram texts are equal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "djsoftware/PlaylistMatchingEngine.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using Engine = fv::PlaylistMatchingEngine;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // Normalising again changes nothing the checks allow; the first result must outlive the loop.
    const std::string once = Engine::normalize(bytes);
    for (std::string_view text : {bytes, std::string_view(once)}) {
        std::string n = Engine::normalize(text);
        if (!n.empty() && (n.front() == ' ' || n.back() == ' ')) __builtin_trap();
        if (n.find("  ") != std::string::npos) __builtin_trap();
        for (unsigned char c : n)
            if ((c >= 'A' && c <= 'Z') || (c < 0x80 && c != ' ' && !(c >= 'a' && c <= 'z') && !(c >= '0' && c <= '9')))
                __builtin_trap();
        for (std::string_view s : {text, std::string_view(n)}) {
            auto strings = Engine::bigrams(s);
            auto keys = Engine::bigramKeys(s);
            if (strings.size() != keys.size() || strings.empty()) __builtin_trap();
            for (std::size_t i = 0; i < strings.size() && i < 64; ++i)
                for (std::size_t j = 0; j < strings.size() && j < 64; ++j)
                    if ((strings[i] == strings[j]) != (keys[i] == keys[j])) __builtin_trap();
        }
    }
    return 0;
}

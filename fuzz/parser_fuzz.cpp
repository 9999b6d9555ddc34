// libFuzzer target for the parser: no input may crash it; an accepted input must write, parse back to the same value
// and write again to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using sorva::json::parse;
    using sorva::json::ParseResult;
    using sorva::json::write;

    ParseResult first = parse(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!first.ok()) {
        // A position always lies inside the input; only an empty input has column 0.
        const auto& e = first.error();
        if (e.line < 1 || e.column > size || (e.column == 0) != (size == 0) || e.message.empty()) std::abort();
        return 0;
    }
    const std::string text = write(first.value());
    ParseResult second = parse(text);
    if (!second.ok() || !(second.value() == first.value())) std::abort();
    if (write(second.value()) != text) std::abort();
    return 0;
}

// Parse and write throughput of the JSON layer next to RapidJSON on the same generated documents.
#include <benchmark/benchmark.h>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "json/json.hpp"

namespace {

using sorva::json::Document;
using sorva::json::Member;
using sorva::json::Value;

// Records like the ones the module writes: short keys, a few levels, mixed scalars.
Value metadata_document(Document& doc, std::mt19937_64& rng)
{
    std::vector<Value> records;
    for (int i = 0; i < 5000; ++i) {
        std::vector<Value> values;
        for (int k = 0; k < 4; ++k) values.push_back(doc.string("2024-01-0" + std::to_string(k + 1)));
        const Value partition = doc.object({{"kind", doc.string("inline")}, {"values", doc.array(values)}});
        const Value inputs =
            doc.object({{"data", doc.string("/srv/pipelines/etl/pipeline.py:raw_" + std::to_string(i))}});
        records.push_back(doc.object({
            {"name", doc.string("asset_" + std::to_string(i))},
            {"module", doc.string("pipeline.stage" + std::to_string(i % 7))},
            {"inputs", inputs},
            {"partitions", doc.array({partition})},
            {"serializer", Value()},
            {"ok", Value::boolean(i % 3 != 0)},
            {"count", Value::uint(rng() % 100000)},
            {"ratio", Value::from_double(static_cast<double>(rng() % 1000) / 8.0)},
        }));
    }
    return doc.array(records);
}

// Half of them like random.uniform(0, 1000), half from random bit patterns.
Value doubles_document(Document& doc, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> uniform(0.0, 1000.0);
    std::vector<Value> items;
    for (int i = 0; i < 200000; ++i) {
        double x = uniform(rng);
        if (i % 2) {
            do x = std::bit_cast<double>(rng());
            while (!std::isfinite(x));
        }
        items.push_back(Value::from_double(x));
    }
    return doc.array(items);
}

// Magnitudes spread from one digit to twenty, a quarter of them negative.
Value integers_document(Document& doc, std::mt19937_64& rng)
{
    std::vector<Value> items;
    for (int i = 0; i < 200000; ++i) {
        const std::uint64_t n = rng() >> (rng() % 64);
        items.push_back(i % 4 == 0 ? Value::negint(-static_cast<std::int64_t>(n >> 1) - 1) : Value::uint(n));
    }
    return doc.array(items);
}

// Prose with quotes, backslashes, line breaks, control characters and non-ASCII text.
Value strings_document(Document& doc, std::mt19937_64& rng)
{
    static constexpr std::string_view kPieces[] = {"The quick brown fox jumps over the lazy dog. ",
                                                   "path\\to\\file ",
                                                   "\"quoted\" ",
                                                   "line\nbreak ",
                                                   "tab\tstop ",
                                                   "caf\xC3\xA9 na\xC3\xAFve ",
                                                   "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E ",
                                                   "\xF0\x9F\x98\x80 ",
                                                   "bell\x07 ",
                                                   "plain words without anything special in them at all "};
    std::vector<Value> items;
    for (int i = 0; i < 20000; ++i) {
        std::string s;
        for (std::uint64_t n = 1 + rng() % 12; n > 0; --n) s += kPieces[rng() % std::size(kPieces)];
        items.push_back(doc.string(s));
    }
    return doc.array(items);
}

// Alternating arrays and objects nested 120 deep, many times over.
Value deep_document(Document& doc, std::mt19937_64& rng)
{
    std::vector<Value> items;
    for (int i = 0; i < 400; ++i) {
        Value v = Value::uint(rng() % 1000);
        for (int level = 0; level < 120; ++level) {
            if (level % 2) {
                v = doc.object({{"k", v}, {"n", Value::uint(static_cast<std::uint64_t>(level))}});
            } else {
                v = doc.array({v, Value::boolean(true)});
            }
        }
        items.push_back(v);
    }
    return doc.array(items);
}

struct Corpus {
    const char* name;
    Value (*make)(Document&, std::mt19937_64&);
};

constexpr Corpus kCorpora[] = {
    {"metadata", metadata_document},
    {"doubles", doubles_document},
    {"integers", integers_document},
    {"strings", strings_document},
    {"deep", deep_document},
};

std::string text_of(const Corpus& corpus)
{
    std::mt19937_64 rng(42);
    Document values;
    return sorva::json::write(corpus.make(values, rng));
}

void ours_parse(benchmark::State& state, const Corpus& corpus)
{
    const std::string text = text_of(corpus);
    for (auto _ : state) {
        sorva::json::ParseResult r = sorva::json::parse(text);
        if (!r.ok()) state.SkipWithError(r.error().text().c_str());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void rapidjson_parse(benchmark::State& state, const Corpus& corpus)
{
    const std::string text = text_of(corpus);
    for (auto _ : state) {
        rapidjson::Document d;
        d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
        if (d.HasParseError()) state.SkipWithError("rapidjson parse error");
        benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// Both writers are timed from a parsed tree into a fresh buffer; throughput
// counts the same document bytes for both so that the rates compare directly.
void ours_write(benchmark::State& state, const Corpus& corpus)
{
    const std::string text = text_of(corpus);
    sorva::json::ParseResult r = sorva::json::parse(text);
    for (auto _ : state) {
        std::string out = sorva::json::write(r.value());
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void rapidjson_write(benchmark::State& state, const Corpus& corpus)
{
    const std::string text = text_of(corpus);
    rapidjson::Document d;
    d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    for (auto _ : state) {
        rapidjson::StringBuffer buffer;
        rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
        d.Accept(writer);
        benchmark::DoNotOptimize(buffer.GetString());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

}  // namespace

int main(int argc, char** argv)
{
    for (const Corpus& corpus : kCorpora) {
        const std::string name = corpus.name;
        benchmark::RegisterBenchmark(("parse/" + name + "/ours").c_str(), ours_parse, corpus);
        benchmark::RegisterBenchmark(("parse/" + name + "/rapidjson").c_str(), rapidjson_parse, corpus);
        benchmark::RegisterBenchmark(("write/" + name + "/ours").c_str(), ours_write, corpus);
        benchmark::RegisterBenchmark(("write/" + name + "/rapidjson").c_str(), rapidjson_write, corpus);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

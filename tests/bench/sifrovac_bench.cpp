// Throughput of load, encode and decode over a full text buffer, for short and for long lines.
#include <benchmark/benchmark.h>
#include <memory>
#include <string>

#include "cipher.h"
#include "harness.h"
#include "textfile.h"

namespace {

// A full buffer of text cut into lines of `lineLength` characters, line end included.
std::string fullText(size_t lineLength) {
    std::string text;
    while (text.size() < static_cast<size_t>(kNejdelsiText))
        text +=
            text.size() % lineLength == lineLength - 1 ? '\n' : "ahoj, svete."[text.size() % 12];
    return text;
}

void BM_Load(benchmark::State &state) {
    TempDir dir;
    writeFile(dir / "f", fullText(state.range(0)));
    auto buffer = std::make_unique<Radek[]>(kPocetRadku);
    for (auto _ : state) {
        CilovySoubor cil;
        if (nactiSoubor(buffer.get(), (dir / "f").c_str(), &cil) != Nacteni::nacteno) {
            state.SkipWithError("load failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * kNejdelsiText);
}

// Repeated passes re-encode the same bytes; the cost per byte does not depend on their values.
template <long (*transform)(char *)> void BM_Transform(benchmark::State &state) {
    std::string text = fullText(state.range(0));
    for (auto _ : state) {
        transform(text.data());
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(state.iterations() * kNejdelsiText);
}

BENCHMARK(BM_Load)->Arg(2)->Arg(1000);
BENCHMARK(BM_Transform<koduj>)->Name("BM_Encode")->Arg(2)->Arg(1000);
BENCHMARK(BM_Transform<dekoduj>)->Name("BM_Decode")->Arg(2)->Arg(1000);

} // namespace

BENCHMARK_MAIN();

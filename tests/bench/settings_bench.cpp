// Cost of the settings steps on a large (about 1 MB) settings document.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>

#include "StandIn.h"
#include "app/SettingsDocument.h"
#include "file/TextFile.h"

namespace {

std::wstring LargeDocument() {
  std::wstring text = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<kvvpn>\n  <settings>\n";
  for (int i = 0; text.size() < 1000000; ++i) {
    text += L"    <server id=\"" + std::to_wstring(i) + L"\" region=\"r\u00e9gion\">host-" +
            std::to_wstring(i) + L".example</server>\n";
  }
  text += L"    <switch_provider>1</switch_provider>\n  </settings>\n</kvvpn>\n";
  return text;
}

std::int64_t Fixed() {
  return 1765432100;
}

void BM_UpdateSettingsDocument(benchmark::State &state) {
  const std::wstring text = LargeDocument();
  for (auto _ : state) {
    SettingsUpdateResult result = UpdateSettingsDocument(text, Fixed);
    benchmark::DoNotOptimize(result.text.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_UpdateSettingsDocument)->Unit(benchmark::kMillisecond);

void BM_WriteThenReadSettingsFile(benchmark::State &state) {
  const std::wstring text = LargeDocument();
  const std::filesystem::path path = std::filesystem::temp_directory_path() / "kv_bench_settings.xml";
  const std::wstring wide = path.wstring();
  for (auto _ : state) {
    standin::ClearCalls();
    if (FileWriteAllText(wide.c_str(), text) != 0) {
      state.SkipWithError("write failed");
      break;
    }
    std::wstring back = FileReadAllText(wide.c_str());
    benchmark::DoNotOptimize(back.data());
  }
  std::filesystem::remove(path);
}
BENCHMARK(BM_WriteThenReadSettingsFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

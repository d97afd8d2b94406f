#include "app/Product.h"

#include <gtest/gtest.h>

namespace {

const std::wstring kElsewhere = L"D:\\Program Files\\Norvane\\Norvane VPN";

ProductPaths At(const std::wstring &folder, bool trusted) {
  return {folder, folder + L"\\kvvpnuiapp.exe", folder + L"\\settings\\kvvpn.xml", trusted};
}

ProductPaths Constants(bool trusted) {
  ProductPaths paths;
  paths.trusted = trusted;
  return paths;
}

struct PlaceCase {
  const char *name;
  std::vector<ProductPlace> places;
  ProductPaths paths;
};

class ProductTest : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(ProductTest, ChoosesAsTheRowSays) {
  const ProductPaths paths = ChooseProductPaths(GetParam().places);
  EXPECT_TRUE(GetParam().paths == paths)
      << std::string(paths.settingsFile.begin(), paths.settingsFile.end()) << " trusted " << paths.trusted;
}

// The constant place, then the same under Program Files on D:.
const PlaceCase kCases[] = {
    {"ConstantPlace", {{kInstallFolder, true, true}, {kElsewhere, true, true}}, Constants(true)},
    {"OnlyElsewhere", {{kInstallFolder, false, false}, {kElsewhere, true, true}}, At(kElsewhere, true)},
    // A copy any user may have made, where Windows keeps Program Files on D:.
    {"ConstantPlaceUntrusted",
     {{kInstallFolder, true, false}, {kElsewhere, true, true}},
     At(kElsewhere, true)},
    {"BothUntrusted", {{kInstallFolder, true, false}, {kElsewhere, true, false}}, Constants(false)},
    {"OnlyPlaceUntrusted",
     {{kInstallFolder, false, false}, {kElsewhere, true, false}},
     At(kElsewhere, false)},
    {"NowhereAtAll", {{kInstallFolder, false, false}, {kElsewhere, false, false}}, Constants(false)},
    {"ProgramFilesUnknown", {{kInstallFolder, true, false}}, Constants(false)},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProductTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(ProductFoldersTest, TheConstantOneFirst) {
  const std::pair<std::wstring, std::vector<std::wstring>> rows[] = {
      {L"D:\\Program Files", {kInstallFolder, kElsewhere}},
      {L"", {kInstallFolder}},
      {L"c:\\program files", {kInstallFolder}},
      {L"E:\\", {kInstallFolder, L"E:\\Norvane\\Norvane VPN"}},
  };
  for (const auto &[programFiles, folders] : rows) {
    EXPECT_EQ(folders, ProductFolders(programFiles));
  }
  const std::vector<std::wstring> above = {kInstallFolder, L"C:\\Program Files\\Norvane",
                                           L"C:\\Program Files"};
  EXPECT_EQ(above, FoldersUpToTheRoot(kInstallFolder));
}

}  // namespace

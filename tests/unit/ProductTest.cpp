#include "app/Product.h"

#include <gtest/gtest.h>

namespace {

ProductPaths Under(const std::wstring &folder) {
  return {folder + L"\\Norvane\\Norvane VPN", folder + L"\\Norvane\\Norvane VPN\\kvvpnuiapp.exe",
          folder + L"\\Norvane\\Norvane VPN\\settings\\kvvpn.xml"};
}

struct PathsCase {
  const char *name;
  bool constantFolderExists;
  std::wstring programFiles;
  ProductPaths paths;
};

class ProductTest : public ::testing::TestWithParam<PathsCase> {};

TEST_P(ProductTest, ChoosesAsTheRowSays) {
  const ProductPaths paths = ChooseProductPaths(GetParam().constantFolderExists, GetParam().programFiles);
  EXPECT_TRUE(GetParam().paths == paths) << std::string(paths.settingsFile.begin(), paths.settingsFile.end());
}

const PathsCase kCases[] = {
    {"ConstantsWhereTheirFolderIs", true, L"D:\\Program Files", ProductPaths{}},
    {"ProgramFilesElsewhere", false, L"D:\\Program Files", Under(L"D:\\Program Files")},
    {"ProgramFilesUnknown", false, L"", ProductPaths{}},
    {"ProgramFilesAtADrivesRoot", false, L"E:\\", Under(L"E:")},
};

INSTANTIATE_TEST_SUITE_P(Cases, ProductTest, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace

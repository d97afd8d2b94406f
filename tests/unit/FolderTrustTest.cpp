#include "file/FolderTrust.h"

#include <gtest/gtest.h>

namespace {

const std::wstring kOwnUser = L"S-1-5-21-0-0-0-1000";
#define TI L"S-1-5-80-956008885-3425870976-2724470633-1187018009-3431930357"
// Program Files as Windows installs it.
const std::wstring kProgramFiles =
    L"O:" TI L"D:PAI(A;;FA;;;" TI L")(A;CIIO;GA;;;" TI
    L")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
    L"(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)(A;OICIIO;GXGR;;;AC)";

struct TrustCase {
  const char *name;
  std::wstring sddl;
  bool trusted;
};

class FolderTrustTest : public ::testing::TestWithParam<TrustCase> {};

TEST_P(FolderTrustTest, DecidesAsTheRowSays) {
  EXPECT_EQ(GetParam().trusted, FolderAdmitsOnlyTrusted(GetParam().sddl, kOwnUser));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderTrustTest,
    ::testing::Values(
        TrustCase{"ProgramFiles", kProgramFiles, true},
        // As Wine describes a folder: owned by the user running the tool.
        TrustCase{
            "OwnUsersFolder",
            L"O:" + kOwnUser + L"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;" + kOwnUser + L")(A;OICI;0x1200a9;;;WD)",
            true},
        TrustCase{"AnotherUsersFolder", L"O:S-1-5-21-0-0-0-1001D:(A;OICI;FA;;;SY)", false},
        TrustCase{"UsersMayModify", kProgramFiles + L"(A;OICI;0x1301bf;;;BU)", false},
        TrustCase{"InheritedModifyForAuthenticatedUsers", kProgramFiles + L"(A;OICIID;0x1301bf;;;AU)", false},
        TrustCase{"UsersMayAddFiles", kProgramFiles + L"(A;;DC;;;BU)", false},
        TrustCase{"UsersMayAddFolders", kProgramFiles + L"(A;;LC;;;BU)", false},
        TrustCase{"UsersMayDeleteChildren", kProgramFiles + L"(A;;DT;;;BU)", false},
        // Enough for a mount point.
        TrustCase{"UsersMayWriteAttributes", kProgramFiles + L"(A;;CR;;;BU)", false},
        TrustCase{"EveryoneMayChangeTheList", kProgramFiles + L"(A;;WD;;;WD)", false},
        TrustCase{"EveryoneGenericAll", kProgramFiles + L"(A;;GA;;;WD)", false},
        TrustCase{"UsersMayOnlyRead", kProgramFiles + L"(A;;FRFX;;;BU)", true},
        // Only what the folder hands down.
        TrustCase{"InheritOnlyWrite", kProgramFiles + L"(A;OICIIO;GW;;;WD)", true},
        TrustCase{"DenyGrantsNothing", kProgramFiles + L"(D;;FA;;;BU)", true},
        TrustCase{"ConditionalWrite", kProgramFiles + L"(XA;;FA;;;WD;(Member_of {SID(BA)}))", false},
        TrustCase{"NoList", L"O:BAD:NO_ACCESS_CONTROL", false}, TrustCase{"EmptyList", L"O:BAD:P", true},
        TrustCase{"UnknownRight", kProgramFiles + L"(A;;ZZ;;;BU)", false},
        TrustCase{"UnknownType", kProgramFiles + L"(QQ;;FR;;;BU)", false},
        TrustCase{"CutShort", kProgramFiles + L"(A;;FA;;", false},
        // Rights the reader cannot read grant what it cannot tell.
        TrustCase{"OddLengthRights", kProgramFiles + L"(A;;FRF;;;BU)", false},
        TrustCase{"EmptyRights", kProgramFiles + L"(A;;;;;BU)", false},
        TrustCase{"HexPrefixOnly", kProgramFiles + L"(A;;0x;;;BU)", false},
        TrustCase{"HexThenJunk", kProgramFiles + L"(A;;0x1200a9z;;;BU)", false},
        TrustCase{"NoOwner", L"D:(A;;FA;;;SY)", false}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace

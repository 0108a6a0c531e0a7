// The error report's text and rules: the exact layout a support person reads, the masked
// command line, the free file name, and the operating-system name tables.
#include "core/error_report.h"

#include <gtest/gtest.h>

#include <set>

namespace setup {
namespace {

TOSVersionFacts Consumer(uint32_t minor, std::string service_pack = {}) {
  TOSVersionFacts os;
  os.PlatformId = TOSVersionFacts::kPlatformConsumer;
  os.Major = 4;
  os.Minor = minor;
  os.ServicePack = std::move(service_pack);
  return os;
}

TOSVersionFacts NT(uint32_t major, uint32_t minor, uint8_t product_type = 1, uint16_t suite = 0) {
  TOSVersionFacts os;
  os.PlatformId = TOSVersionFacts::kPlatformNT;
  os.Major = major;
  os.Minor = minor;
  os.HasExtended = true;
  os.ProductType = product_type;
  os.SuiteMask = suite;
  return os;
}

TEST(ErrorReport, FilledReportHasTheExactLayout) {
  TErrorReportFacts facts;
  facts.SetupName = "Demo Setup";
  facts.SetupExeName = "setup.exe";
  facts.PakMagic[0] = 'K';
  facts.PakMagic[1] = 'Z';
  facts.PakMagic[2] = 'P';
  facts.PakMagic[3] = 'F';
  facts.PakVersion = 1;
  facts.PakCount = 37;
  facts.ErrorType = "Setup Thread";
  facts.ErrorText = "Truncated record at offset 12";
  facts.Arguments = {"/s", "/j", "10.0.0.1", "secret", "c:\\dir"};
  facts.OS = NT(5, 1, 1, 0x0100);
  facts.OS.Build = 2600;
  facts.OS.ServicePack = "Service Pack 2";
  facts.OS.ServicePackMajor = 2;
  facts.OS.ServicePackMinor = 1;
  facts.PhysicalMemoryBytes = 512ull * 1024 * 1024 + 5;
  facts.CpuMHz = 2400;

  EXPECT_EQ(ComposeErrorReport(facts),
            "General Info\r\n"
            "------------\r\n"
            "Setup Name             : Demo Setup\r\n"
            "Setup EXE Name         : setup.exe\r\n"
            "\r\n"
            "Pak Info\r\n"
            "--------\r\n"
            "ID                     : KZPF\r\n"
            "Version                : 1\r\n"
            "Count                  : 37\r\n"
            "\r\n"
            "ErrorType              : Setup Thread\r\n"
            "ErrorText              : Truncated record at offset 12\r\n"
            "\r\n"
            "Params                 : /S /j X X.X.X.X C:\\DIR\r\n"
            "ParamCount             : 5\r\n"
            "\r\n"
            "Windows Info\r\n"
            "------------\r\n"
            "Product                : Windows XP Professional\r\n"
            "BuildNumber            : 2600\r\n"
            "ServicePack            : Service Pack 2\r\n"
            "ServicePackMajor       : 2\r\n"
            "ServicePackMinor       : 1\r\n"
            "\r\n"
            "Physical Memory        : 513MB\r\n"
            "CPU Speed              : 2400Mhz\r\n");
}

TEST(ErrorReport, ReportBeforeAnythingWasKnownStillHasEveryLine) {
  EXPECT_EQ(ComposeErrorReport(TErrorReportFacts{}),
            "General Info\r\n"
            "------------\r\n"
            "Setup Name             : \r\n"
            "Setup EXE Name         : \r\n"
            "\r\n"
            "Pak Info\r\n"
            "--------\r\n"
            "ID                     : \r\n"
            "Version                : 0\r\n"
            "Count                  : 0\r\n"
            "\r\n"
            "ErrorType              : Unknown\r\n"
            "ErrorText              : \r\n"
            "\r\n"
            "Params                 : \r\n"
            "ParamCount             : 0\r\n"
            "\r\n"
            "Windows Info\r\n"
            "------------\r\n"
            "Product                : Unknown OS \r\n"
            "BuildNumber            : 0\r\n"
            "ServicePack            : \r\n"
            "ServicePackMajor       : 0\r\n"
            "ServicePackMinor       : 0\r\n"
            "\r\n"
            "Physical Memory        : 1MB\r\n"
            "CPU Speed              : 0Mhz\r\n");
}

TEST(ErrorReport, PackageIdStopsAtTheFirstZeroByte) {
  TErrorReportFacts facts;
  facts.PakMagic[0] = 'K';
  facts.PakMagic[1] = 'Z';
  const std::string report = ComposeErrorReport(facts);
  EXPECT_NE(report.find("ID                     : KZ\r\n"), std::string::npos);
  EXPECT_EQ(report.find('\0'), std::string::npos);
}

TEST(ErrorReport, LargeValuesAreNeitherCutNorWrapped) {
  TErrorReportFacts facts;
  facts.ErrorText = std::string(5000, 'x');
  facts.PhysicalMemoryBytes = 8ull * 1024 * 1024 * 1024 * 1024;  // 8 TB: more bytes than 32 bits hold
  const std::string report = ComposeErrorReport(facts);
  EXPECT_NE(report.find("ErrorText              : " + std::string(5000, 'x') + "\r\n"), std::string::npos);
  EXPECT_NE(report.find("Physical Memory        : 8388609MB\r\n"), std::string::npos);
}

TEST(MaskedParams, JoinAndUpperCaseWithTheAddressHidden) {
  EXPECT_EQ(MaskedParams({}), "");
  EXPECT_EQ(MaskedParams({"a", "/j", "b", "c", "d"}), "A /j X X.X.X.X D");
  EXPECT_EQ(MaskedParams({"/J", "host", "pw"}), "/j X X.X.X.X");
  EXPECT_EQ(MaskedParams({"/s", "/jx", "ä"}), "/S /JX ä");
  // Only the one argument "/J" hides the two after it; nothing before it is touched.
  EXPECT_EQ(MaskedParams({"/j", "1", "/j", "2"}), "/j X X.X.X.X 2");
}

TEST(MaskedParams, SwitchAtTheEndSkipsOnlyWhatExists) {
  EXPECT_EQ(MaskedParams({"x", "/j"}), "X /j X X.X.X.X");
  EXPECT_EQ(MaskedParams({"x", "/j", "host"}), "X /j X X.X.X.X");
}

TEST(ErrorLogPath, TakesTheFirstFreeNumberWithOneBackslash) {
  const std::set<std::string> taken = {"C:\\TEMP\\ErrorLog0000.TXT", "C:\\TEMP\\ErrorLog0001.TXT",
                                       "C:\\TEMP\\ErrorLog0003.TXT"};
  auto exists = [&](const std::string& path) { return taken.count(path) != 0; };
  EXPECT_EQ(ErrorLogPath("C:\\TEMP\\", exists), "C:\\TEMP\\ErrorLog0002.TXT");
  EXPECT_EQ(ErrorLogPath("C:\\TEMP", exists), "C:\\TEMP\\ErrorLog0002.TXT");
  EXPECT_EQ(ErrorLogPath("D:\\", [](const std::string&) { return false; }), "D:\\ErrorLog0000.TXT");
}

TEST(ErrorLogPath, NumbersPastFourDigitsAreWrittenInFull) {
  // Every four-digit name is taken.
  auto below_10000 = [](const std::string& path) { return path.size() == std::string("C:\\ErrorLog0000.TXT").size(); };
  EXPECT_EQ(ErrorLogPath("C:\\", below_10000), "C:\\ErrorLog10000.TXT");
}

TEST(ErrorLogPath, GivesUpWhenEveryNameIsTaken) {
  uint32_t asked = 0;
  auto always = [&](const std::string&) {
    ++asked;
    return true;
  };
  EXPECT_EQ(ErrorLogPath("C:\\", always), "");
  EXPECT_EQ(asked, kErrorLogNumberLimit);
}

TEST(ErrorReportMessage, NamesTheErrorAndTheFileToSend) {
  EXPECT_EQ(ErrorReportMessage("Setup Thread", "Disk full", "C:\\T\\ErrorLog0000.TXT"),
            "Setup Thread Error: Disk full\r\rError Log Created. Please Include \"C:\\T\\ErrorLog0000.TXT\" with "
            "your bug report");
  EXPECT_EQ(ErrorReportMessage("", "x", "p"),
            "Unknown Error: x\r\rError Log Created. Please Include \"p\" with your bug report");
}

TEST(ErrorReportMessage, UnwrittenReportDoesNotClaimAFileWasCreated) {
  const std::string message = ErrorReportUnwrittenMessage("", "Disk full", "C:\\T\\ErrorLog0000.TXT");
  EXPECT_EQ(message, "Unknown Error: Disk full\r\rError Log Could Not Be Created (\"C:\\T\\ErrorLog0000.TXT\")");
  EXPECT_EQ(ErrorReportUnwrittenMessage("Verification Stage", "x", ""),
            "Verification Stage Error: x\r\rError Log Could Not Be Created");
}

TEST(CpuSpeedFromCounter, RoundsToNearestMHzOfThe32BitDifference) {
  EXPECT_EQ(CpuSpeedFromCounter(0), 0u);
  EXPECT_EQ(CpuSpeedFromCounter(249999), 0u);
  EXPECT_EQ(CpuSpeedFromCounter(250000), 1u);
  EXPECT_EQ(CpuSpeedFromCounter(1200000000), 2400u);
  EXPECT_EQ(CpuSpeedFromCounter(1200249999), 2400u);
  EXPECT_EQ(CpuSpeedFromCounter(0xFFFFFFFFull), 8590u);
  // Only the low 32 bits count: a 3 GHz counter over 500 ms wraps.
  EXPECT_EQ(CpuSpeedFromCounter(0x100000000ull + 1200000000), 2400u);
}

TEST(OSIndex, ConsumerAndNTVersionsMapToTheirNames) {
  struct Case {
    TOSVersionFacts os;
    const char* name;
  };
  const Case cases[] = {
      {Consumer(0), "Windows 95"},
      {Consumer(10), "Windows 98"},
      {Consumer(90), "Windows Me"},
      {Consumer(50), "Unknown OS"},
      {NT(4, 0), "Windows NT4"},
      {NT(5, 0), "Windows 2000"},
      {NT(5, 1), "Windows XP"},
      {NT(5, 2, 3), "Windows Server2003"},
      {NT(5, 3), "Unknown OS"},
      {NT(6, 0, 1), "Windows Vista"},
      {NT(6, 0, 3), "Windows Server 2008"},
      {NT(6, 0, 2), "Windows Server 2008"},
      {NT(6, 1, 1), "Windows 7"},
      {NT(6, 1, 3), "Windows Server 2008 R2"},
      {NT(6, 2, 1), "Unknown OS"},
      {NT(10, 0, 1), "Unknown OS"},
      {NT(3, 51), "Unknown OS"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int index = OSIndex(c.os);
    ASSERT_GE(index, 0);
    ASSERT_LT(index, kOSNameCount);
    EXPECT_STREQ(kOSNames[index], c.name) << c.os.PlatformId << " " << c.os.Major << "." << c.os.Minor;
  }
  TOSVersionFacts other = NT(4, 0);
  other.PlatformId = 3;
  EXPECT_EQ(OSIndex(other), 0);
  TOSVersionFacts consumer5 = Consumer(0);
  consumer5.Major = 5;
  EXPECT_EQ(OSIndex(consumer5), 0);
}

TEST(EditionText, WithoutExtendedInfoTheRegistryKindNamesTheEdition) {
  TOSVersionFacts os = NT(4, 0);
  os.HasExtended = false;
  os.ProductOptionsType = "WinNT";
  EXPECT_EQ(EditionText(os), "WorkStation 4.0");
  os.ProductOptionsType = "LANMANNT";
  EXPECT_EQ(EditionText(os), "Server 4.0");
  os.ProductOptionsType = "servernt";
  os.Major = 5;
  os.Minor = 2;
  EXPECT_EQ(EditionText(os), "Advanced Server 5.2");
  os.ProductOptionsType = "";
  EXPECT_EQ(EditionText(os), "");
  os.ProductOptionsType = "WINNTX";
  EXPECT_EQ(EditionText(os), "");
}

TEST(EditionText, ServersAndDomainControllersByVersionAndSuite) {
  for (uint8_t type : {uint8_t{2}, uint8_t{3}}) {
    SCOPED_TRACE(int{type});
    EXPECT_EQ(EditionText(NT(4, 0, type)), "Server 4.0");
    EXPECT_EQ(EditionText(NT(4, 0, type, 0x2)), "Server 4.0, Enterprise Edition");
    EXPECT_EQ(EditionText(NT(5, 0, type)), "Standard Edition");
    EXPECT_EQ(EditionText(NT(5, 0, type, 0x2)), "Advanced Server");
    EXPECT_EQ(EditionText(NT(5, 0, type, 0x82)), "Datacenter Server");
    EXPECT_EQ(EditionText(NT(5, 2, type)), "Standard Edition");
    EXPECT_EQ(EditionText(NT(5, 2, type, 0x400)), "Web Edition");
    EXPECT_EQ(EditionText(NT(5, 2, type, 0x402)), "Enterprise Edition");
    EXPECT_EQ(EditionText(NT(5, 2, type, 0x482)), "DataCenter Edition");
    EXPECT_EQ(EditionText(NT(5, 1, type)), "");
    EXPECT_EQ(EditionText(NT(6, 0, type, 0x80)), "");
  }
}

TEST(EditionText, WorkstationsByVersionAndFeatures) {
  EXPECT_EQ(EditionText(NT(4, 0)), "Workstation 4.0");
  EXPECT_EQ(EditionText(NT(5, 0, 1, 0x200)), "Professional");
  EXPECT_EQ(EditionText(NT(5, 1)), "Professional");
  EXPECT_EQ(EditionText(NT(5, 1, 1, 0x200)), "Home Edition");
  TOSVersionFacts xp = NT(5, 1, 1, 0x200);
  xp.TabletPC = true;
  EXPECT_EQ(EditionText(xp), "Tablet PC Edition");
  xp.MediaCenter = true;
  EXPECT_EQ(EditionText(xp), "Media Center Edition");
  EXPECT_EQ(EditionText(NT(6, 0)), "");
  EXPECT_EQ(EditionText(NT(6, 1)), "");
  // A product type of 0 is not a server either.
  EXPECT_EQ(EditionText(NT(5, 0, 0)), "Professional");
}

TEST(EditionText, ConsumerAndOtherPlatformsHaveNone) {
  TOSVersionFacts me = Consumer(90);
  me.ProductOptionsType = "WINNT";
  EXPECT_EQ(EditionText(me), "");
  TOSVersionFacts other = NT(5, 1);
  other.PlatformId = 0;
  EXPECT_EQ(EditionText(other), "");
}

TEST(ServicePackText, ConsumerReleasesFromTheReleaseLetter) {
  EXPECT_EQ(ServicePackText(Consumer(0)), "");
  EXPECT_EQ(ServicePackText(Consumer(0, "B")), "OSR2");
  EXPECT_EQ(ServicePackText(Consumer(0, "c")), "OSR2");
  EXPECT_EQ(ServicePackText(Consumer(0, "A")), "");
  EXPECT_EQ(ServicePackText(Consumer(10, "A")), "SE");
  EXPECT_EQ(ServicePackText(Consumer(10, "a")), "SE");
  EXPECT_EQ(ServicePackText(Consumer(10, "B")), "");
  EXPECT_EQ(ServicePackText(Consumer(90, "A")), "");
  // The system writes the letter after a blank.
  EXPECT_EQ(ServicePackText(Consumer(0, " C")), "OSR2");
  EXPECT_EQ(ServicePackText(Consumer(10, " A ")), "SE");
  EXPECT_EQ(ServicePackText(Consumer(10, "   ")), "");
}

TEST(ServicePackText, NTShowsTheSystemTextAndTellsSixAFromSix) {
  TOSVersionFacts nt4 = NT(4, 0);
  nt4.ServicePack = "Service Pack 6";
  EXPECT_EQ(ServicePackText(nt4), "Service Pack 6");
  nt4.HasQ246009 = true;
  EXPECT_EQ(ServicePackText(nt4), "Service Pack 6a");
  nt4.ServicePack = "SERVICE PACK 6";
  EXPECT_EQ(ServicePackText(nt4), "Service Pack 6a");
  nt4.ServicePack = "Service Pack 5";
  EXPECT_EQ(ServicePackText(nt4), "Service Pack 5");

  TOSVersionFacts w2k = NT(5, 0);
  w2k.ServicePack = "Service Pack 6";
  w2k.HasQ246009 = true;
  EXPECT_EQ(ServicePackText(w2k), "Service Pack 6");
  EXPECT_EQ(ServicePackText(NT(5, 1)), "");

  TOSVersionFacts other = nt4;
  other.PlatformId = 3;
  EXPECT_EQ(ServicePackText(other), "");
}

}  // namespace
}  // namespace setup

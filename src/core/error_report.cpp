// The error report's text and the rules behind it: the masked command line, the free file name
// in the temporary folder, the operating-system name, edition and service pack, and the
// processor clock from a counter difference. Nothing here reads OS state; the Windows layer
// hands in what it found, so every rule is tested natively.
//
// The report is a fixed sequence of "name : value" lines under underlined section titles:
//
//   General Info               Setup Name, Setup EXE Name
//   Pak Info                   ID, Version, Count; ErrorType, ErrorText; Params, ParamCount
//   Windows Info               Product, BuildNumber, ServicePack, ServicePackMajor/Minor;
//                              Physical Memory, CPU Speed
#include "core/error_report.h"

#include <cstdio>
#include <string_view>

#include "core/text.h"

namespace setup {

const char* const kOSNames[kOSNameCount] = {
    "Unknown OS",         "Windows 95",          "Windows 98", "Windows Me",
    "Windows NT4",        "Windows 2000",        "Windows XP", "Windows Server2003",
    "Windows Vista",      "Windows Server 2008", "Windows 7",  "Windows Server 2008 R2",
};

namespace {

// Indices into kOSNames that the edition and service pack rules look at.
constexpr int kOSUnknown = 0;
constexpr int kOSWindows95 = 1;
constexpr int kOSWindows98 = 2;
constexpr int kOSWindowsMe = 3;
constexpr int kOSWindowsNT4 = 4;
constexpr int kOSWindows2000 = 5;
constexpr int kOSWindowsXP = 6;
constexpr int kOSWindowsServer2003 = 7;
constexpr int kOSWindowsVista = 8;
constexpr int kOSWindowsServer2008 = 9;
constexpr int kOSWindows7 = 10;
constexpr int kOSWindowsServer2008R2 = 11;

constexpr uint8_t kProductWorkstation = 1;
constexpr uint8_t kProductDomainController = 2;
constexpr uint8_t kProductServer = 3;

constexpr uint16_t kSuiteEnterprise = 0x0002;
constexpr uint16_t kSuiteDataCenter = 0x0080;
constexpr uint16_t kSuitePersonal = 0x0200;
constexpr uint16_t kSuiteBlade = 0x0400;

// Width of the name column: the report was always laid out as printf("%-22s : %s").
constexpr size_t kNameColumnWidth = 22;

const char* const kLineEnd = "\r\n";

void AppendSectionTitle(std::string& out, std::string_view title) {
  out.append(title).append(kLineEnd);
  out.append(title.size(), '-').append(kLineEnd);
}

void AppendValue(std::string& out, std::string_view name, std::string_view value) {
  out.append(name);
  if (name.size() < kNameColumnWidth) out.append(kNameColumnWidth - name.size(), ' ');
  out.append(" : ").append(value).append(kLineEnd);
}

std::string TypeOrUnknown(const std::string& error_type) { return error_type.empty() ? "Unknown" : error_type; }

std::string ErrorLines(const std::string& error_type, const std::string& error_text) {
  return TypeOrUnknown(error_type) + " Error: " + error_text + "\r\r";
}

// Windows 9x puts a blank before the release letter (" C", " A "), so the letter is the first
// character that is not a blank.
char FirstNonBlankUpper(std::string_view text) {
  for (char c : text) {
    if (c != ' ') return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
  }
  return '\0';
}

std::string EditionFromProductOptions(const TOSVersionFacts& os) {
  const char* edition = nullptr;
  if (SameTextAscii(os.ProductOptionsType, "WINNT")) {
    edition = "WorkStation";
  } else if (SameTextAscii(os.ProductOptionsType, "LANMANNT")) {
    edition = "Server";
  } else if (SameTextAscii(os.ProductOptionsType, "SERVERNT")) {
    edition = "Advanced Server";
  }
  if (edition == nullptr) return {};
  return std::string(edition) + " " + std::to_string(os.Major) + "." + std::to_string(os.Minor);
}

std::string ServerEdition(int index, uint16_t suite) {
  switch (index) {
    case kOSWindowsNT4:
      return (suite & kSuiteEnterprise) ? "Server 4.0, Enterprise Edition" : "Server 4.0";
    case kOSWindows2000:
      if (suite & kSuiteDataCenter) return "Datacenter Server";
      if (suite & kSuiteEnterprise) return "Advanced Server";
      return "Standard Edition";
    case kOSWindowsServer2003:
      if (suite & kSuiteDataCenter) return "DataCenter Edition";
      if (suite & kSuiteEnterprise) return "Enterprise Edition";
      if (suite & kSuiteBlade) return "Web Edition";
      return "Standard Edition";
    default:
      return {};
  }
}

std::string WorkstationEdition(int index, const TOSVersionFacts& os) {
  switch (index) {
    case kOSWindowsNT4:
      return "Workstation 4.0";
    case kOSWindows2000:
      return "Professional";
    case kOSWindowsXP:
      if (os.MediaCenter) return "Media Center Edition";
      if (os.TabletPC) return "Tablet PC Edition";
      if (os.SuiteMask & kSuitePersonal) return "Home Edition";
      return "Professional";
    default:
      return {};
  }
}

}  // namespace

int OSIndex(const TOSVersionFacts& os) {
  if (os.PlatformId == TOSVersionFacts::kPlatformConsumer && os.Major == 4) {
    switch (os.Minor) {
      case 0: return kOSWindows95;
      case 10: return kOSWindows98;
      case 90: return kOSWindowsMe;
      default: return kOSUnknown;
    }
  }
  if (os.PlatformId != TOSVersionFacts::kPlatformNT) return kOSUnknown;
  const bool workstation = os.ProductType == kProductWorkstation;
  if (os.Major == 4 && os.Minor == 0) return kOSWindowsNT4;
  if (os.Major == 5) {
    switch (os.Minor) {
      case 0: return kOSWindows2000;
      case 1: return kOSWindowsXP;
      case 2: return kOSWindowsServer2003;
      default: return kOSUnknown;
    }
  }
  if (os.Major == 6 && os.Minor == 0) return workstation ? kOSWindowsVista : kOSWindowsServer2008;
  if (os.Major == 6 && os.Minor == 1) return workstation ? kOSWindows7 : kOSWindowsServer2008R2;
  return kOSUnknown;
}

std::string EditionText(const TOSVersionFacts& os) {
  if (os.PlatformId != TOSVersionFacts::kPlatformNT) return {};
  // Before NT 4.0 service pack 6 there is no extended version call; the registry names the kind.
  if (!os.HasExtended) return EditionFromProductOptions(os);
  const int index = OSIndex(os);
  if (os.ProductType == kProductServer || os.ProductType == kProductDomainController) {
    return ServerEdition(index, os.SuiteMask);
  }
  return WorkstationEdition(index, os);
}

std::string ServicePackText(const TOSVersionFacts& os) {
  if (os.PlatformId == TOSVersionFacts::kPlatformConsumer) {
    const char letter = FirstNonBlankUpper(os.ServicePack);
    const int index = OSIndex(os);
    if (index == kOSWindows95 && (letter == 'B' || letter == 'C')) return "OSR2";
    if (index == kOSWindows98 && letter == 'A') return "SE";
    return {};
  }
  if (os.PlatformId == TOSVersionFacts::kPlatformNT) {
    // Service pack 6a calls itself "Service Pack 6"; only its hotfix key tells them apart.
    if (OSIndex(os) == kOSWindowsNT4 && os.HasQ246009 && SameTextAscii(os.ServicePack, "Service Pack 6")) {
      return "Service Pack 6a";
    }
    return os.ServicePack;
  }
  return {};
}

std::string MaskedParams(const std::vector<std::string>& arguments) {
  // "/J" carries an address and a password that must not end up in a report someone mails out.
  std::string out;
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (!out.empty()) out += ' ';
    std::string upper = UpperAscii(arguments[i]);
    if (upper == "/J") {
      out += "/j X X.X.X.X";
      i += 2;
    } else {
      out += upper;
    }
  }
  return out;
}

std::string ErrorLogPath(const std::string& temp_folder, const std::function<bool(const std::string&)>& exists) {
  std::string folder = temp_folder;
  if (folder.empty() || folder.back() != '\\') folder += '\\';
  for (uint32_t number = 0; number < kErrorLogNumberLimit; ++number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%04u", static_cast<unsigned>(number));
    std::string path = folder + "ErrorLog" + digits + ".TXT";
    if (!exists(path)) return path;
  }
  return {};
}

uint32_t CpuSpeedFromCounter(uint64_t difference) {
  // 500 ms of ticks; the counter difference was always kept in 32 bits.
  const uint64_t ticks = static_cast<uint32_t>(difference);
  constexpr uint64_t kTicksPerMHz = 500000;
  return static_cast<uint32_t>((ticks + kTicksPerMHz / 2) / kTicksPerMHz);
}

std::string ErrorReportMessage(const std::string& error_type, const std::string& error_text, const std::string& path) {
  return ErrorLines(error_type, error_text) + "Error Log Created. Please Include \"" + path + "\" with your bug report";
}

std::string ErrorReportUnwrittenMessage(const std::string& error_type, const std::string& error_text,
                                        const std::string& path) {
  std::string out = ErrorLines(error_type, error_text) + "Error Log Could Not Be Created";
  if (!path.empty()) out += " (\"" + path + "\")";
  return out;
}

std::string ComposeErrorReport(const TErrorReportFacts& facts) {
  std::string out;
  AppendSectionTitle(out, "General Info");
  AppendValue(out, "Setup Name", facts.SetupName);
  AppendValue(out, "Setup EXE Name", facts.SetupExeName);
  out += kLineEnd;

  // A package that was never opened has four zero bytes as its magic.
  std::string_view magic(facts.PakMagic, sizeof facts.PakMagic);
  magic = magic.substr(0, magic.find('\0'));
  AppendSectionTitle(out, "Pak Info");
  AppendValue(out, "ID", magic);
  AppendValue(out, "Version", std::to_string(facts.PakVersion));
  AppendValue(out, "Count", std::to_string(facts.PakCount));
  out += kLineEnd;
  AppendValue(out, "ErrorType", TypeOrUnknown(facts.ErrorType));
  AppendValue(out, "ErrorText", facts.ErrorText);
  out += kLineEnd;
  AppendValue(out, "Params", MaskedParams(facts.Arguments));
  AppendValue(out, "ParamCount", std::to_string(facts.Arguments.size()));
  out += kLineEnd;

  const TOSVersionFacts& os = facts.OS;
  AppendSectionTitle(out, "Windows Info");
  AppendValue(out, "Product", std::string(kOSNames[OSIndex(os)]) + " " + EditionText(os));
  AppendValue(out, "BuildNumber", std::to_string(os.Build));
  AppendValue(out, "ServicePack", ServicePackText(os));
  AppendValue(out, "ServicePackMajor", std::to_string(os.ServicePackMajor));
  AppendValue(out, "ServicePackMinor", std::to_string(os.ServicePackMinor));
  out += kLineEnd;
  AppendValue(out, "Physical Memory", std::to_string(facts.PhysicalMemoryBytes / 1024 / 1024 + 1) + "MB");
  AppendValue(out, "CPU Speed", std::to_string(facts.CpuMHz) + "Mhz");
  return out;
}

}  // namespace setup

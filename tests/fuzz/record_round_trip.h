// The checks shared by the fuzz targets of the two setup records (TSetupInfoFile, TCompLines):
// a record that ends early raises ESetupError, which is allowed. A record that parses must come
// back byte for byte: bytes after the last field are ignored, so writing it again gives exactly
// the bytes it was read from, and reading that gives the same record once more.
//
// Read from a package that does not say its texts are UTF-8, a record's texts are converted
// from the ANSI code page (Windows-1252 for the portable host): the conversion leaves an ASCII
// record as it is and keeps one that is not ASCII from being ASCII, and the converted record
// comes back byte for byte as well. Each target checks its texts after the conversion itself.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "core/error.h"
#include "fuzz_check.h"

namespace setup::fuzzing {

// Writes record and reads it back, which must give the same bytes again.
template <typename Record>
void CheckWrittenReadsBack(const char* name, const Record& record, const char* which) {
  const std::string written = record.Serialize();
  Record back;
  try {
    back.LoadFromBuffer(reinterpret_cast<const uint8_t*>(written.data()), written.size());
  } catch (const ESetupError& e) {
    FailCheck(name, std::string(which) + " record does not read back: " + e.what());
  }
  if (back.Serialize() != written) FailCheck(name, std::string(which) + " record read back writes different bytes");
}

// Record has LoadFromBuffer(const uint8_t*, size_t), Serialize(), AllAscii() and
// LegacyTextsToUtf8(); name starts the fault lines. Gives the record read and the record
// converted, or nothing when the input is no record.
template <typename Record>
std::optional<std::pair<Record, Record>> CheckRecordRoundTrip(const char* name, const uint8_t* data, size_t size) {
  const auto fail = [name](const std::string& what) { FailCheck(name, what); };
  Record first;
  try {
    first.LoadFromBuffer(data, size);
  } catch (const ESetupError&) {
    return std::nullopt;
  }
  const std::string written = first.Serialize();
  if (written.size() > size || std::memcmp(written.data(), data, written.size()) != 0) {
    fail("written record (" + std::to_string(written.size()) + " bytes) is not the start of the " +
         std::to_string(size) + " bytes read");
  }
  CheckWrittenReadsBack(name, first, "written");

  Record converted = first;
  converted.LegacyTextsToUtf8();
  if (converted.AllAscii() != first.AllAscii()) fail("converting the texts changed whether the record is ASCII");
  if (first.AllAscii() && converted.Serialize() != written) fail("converting changed a record of ASCII texts");
  CheckWrittenReadsBack(name, converted, "converted");
  return std::make_pair(std::move(first), std::move(converted));
}

}  // namespace setup::fuzzing

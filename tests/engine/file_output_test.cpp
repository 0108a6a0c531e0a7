// The writer threads of an install against the fake system.
#include "engine/file_output.h"

#include <gtest/gtest.h>

#include "fake_system.h"

namespace setup {
namespace {

TBytes Text(const std::string& text) { return TBytes(text.begin(), text.end()); }

// A system on which opening one path fails with an error, as a system call that throws would.
class TThrowingSystem : public testing::TFakeSystem {
 public:
  std::unique_ptr<TFileStream> OpenFile(const std::string& path, TFileMode mode) override {
    if (path == Throwing) throw std::runtime_error("cannot open " + path);
    return TFakeSystem::OpenFile(path, mode);
  }
  std::string Throwing;
};

std::string Read(testing::TFakeSystem& system, const std::string& path) {
  const TBytes bytes = testing::ReadFile(system.Map(path).string());
  return std::string(bytes.begin(), bytes.end());
}

// Files in a folder that is not there come back with their bytes for the caller to write
// again; the others are written, with a limit on the bytes held far below the total.
TEST(FileWriters, FilesThatCannotBeOpenedComeBackWithTheirBytes) {
  TThrowingSystem system;
  std::filesystem::create_directories(system.Map("C:\\Game"));
  TFileWriters writers(3, 64);
  for (int i = 0; i < 200; ++i) writers.Write("C:\\Game\\f" + std::to_string(i), Text(std::string(40, 'a' + i % 26)));
  writers.Write("C:\\Gone\\lost.txt", Text("lost"));
  writers.Write("C:\\Game\\big", Text(std::string(1000, 'b')));  // larger than the limit: goes alone
  const auto unopened = writers.Wait();
  ASSERT_EQ(unopened.size(), 1u);
  EXPECT_EQ(unopened[0].first, "C:\\Gone\\lost.txt");
  EXPECT_EQ(unopened[0].second, Text("lost"));
  for (int i = 0; i < 200; ++i)
    ASSERT_EQ(Read(system, "C:\\Game\\f" + std::to_string(i)), std::string(40, 'a' + i % 26));
  EXPECT_EQ(Read(system, "C:\\Game\\big"), std::string(1000, 'b'));
  EXPECT_TRUE(writers.Wait().empty());  // handed over once
}

// Without threads the caller's own thread writes each batch as it fills, with the same results.
TEST(FileWriters, WithoutThreadsTheCallerWritesAsBatchesFill) {
  TThrowingSystem system;
  std::filesystem::create_directories(system.Map("C:\\Game"));
  TFileWriters writers(0, 1 << 20);
  for (int i = 0; i < 40; ++i) writers.Write("C:\\Game\\f" + std::to_string(i), Text("x"));
  EXPECT_EQ(Read(system, "C:\\Game\\f0"), "x");  // the first batch is full: already written
  writers.Write("C:\\Gone\\lost.txt", Text("lost"));
  const auto unopened = writers.Wait();
  ASSERT_EQ(unopened.size(), 1u);
  EXPECT_EQ(unopened[0].first, "C:\\Gone\\lost.txt");
  EXPECT_EQ(Read(system, "C:\\Game\\f39"), "x");
}

// An error on a writer thread reaches the caller at its next wait; the writers go on.
TEST(FileWriters, AnErrorOfAThreadIsRethrownByWait) {
  TThrowingSystem system;
  std::filesystem::create_directories(system.Map("C:\\Game"));
  system.Throwing = "C:\\Game\\bad";
  TFileWriters writers(2, 1 << 20);
  writers.Write("C:\\Game\\bad", Text("x"));
  writers.Write("C:\\Game\\good", Text("y"));
  EXPECT_THROW(writers.Wait(), std::runtime_error);
  EXPECT_EQ(Read(system, "C:\\Game\\good"), "y");
  writers.Write("C:\\Game\\after", Text("z"));
  EXPECT_TRUE(writers.Wait().empty());
  EXPECT_EQ(Read(system, "C:\\Game\\after"), "z");
}

}  // namespace
}  // namespace setup

# CMake generated Testfile for 
# Source directory: /work/main
# Build directory: /work/main/build/asan
# 
# This file includes the relevant testing commands required for 
# testing this directory and lists subdirectories to be tested as well.
subdirs("src/core")
subdirs("src/engine")
subdirs("tools/paktool")
subdirs("bench")
subdirs("tests/core")

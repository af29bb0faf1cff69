# The cross builds of tools/cross_check.sh: every body source (src/ less the binding
# layer), every native check (tests/native/*.cpp) and every fuzz target (fuzz/fuzz_*.cpp)
# with the driver that runs it without libFuzzer. Sources are found by their folders, so a
# new body, check or target is built with no edit here.
#
#   make -f tools/cross_build.mk CROSS=aarch64-linux-gnu- OUT=build/cross-aarch64 EXE=
#
# Statically linked, so that the emulator needs neither a sysroot nor DLLs beside the
# program; asserts compiled in (-UNDEBUG), since they are what the checks are there to
# reach; warnings are errors, since a warning that only one platform's compiler gives is
# how a portability fault first shows.
CROSS ?=
OUT   ?= build/cross
EXE   ?=
CXX   := $(CROSS)g++
AR    := $(CROSS)ar

CXXFLAGS := -std=c++20 -O2 -g0 -UNDEBUG -Wall -Wextra -Werror -MMD -MP -Isrc -Ifuzz
BODY_FLAGS := -Wpedantic
# GCC 12 sees a write past the end in std::vector::insert after a vector made from a short
# initializer list (the fuzz targets' seed builders do that); the code is fine, the warning
# is the compiler's, and clang, which builds these targets for fuzzing, does not give it.
FUZZ_FLAGS := -Wno-array-bounds -Wno-stringop-overread -Wno-stringop-overflow
LDFLAGS  := -static -pthread

BODY_SOURCES  := $(sort $(shell find src -name '*.cpp' -not -path 'src/python/*'))
CHECK_SOURCES := $(sort $(wildcard tests/native/*.cpp))
FUZZ_SOURCES  := $(sort $(wildcard fuzz/fuzz_*.cpp))

BODY_OBJECTS := $(BODY_SOURCES:%.cpp=$(OUT)/obj/%.o)
CHECKS       := $(patsubst tests/native/%.cpp,$(OUT)/%$(EXE),$(CHECK_SOURCES))
FUZZERS      := $(patsubst fuzz/%.cpp,$(OUT)/%$(EXE),$(FUZZ_SOURCES))
FUZZ_SUPPORT := $(OUT)/obj/fuzz/support.o $(OUT)/obj/fuzz/standalone_driver.o

.PHONY: all
all: $(CHECKS) $(FUZZERS)

$(OUT)/obj/src/%.o: src/%.cpp
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) $(BODY_FLAGS) -c $< -o $@

$(OUT)/obj/fuzz/%.o: fuzz/%.cpp
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) $(FUZZ_FLAGS) -c $< -o $@

$(OUT)/obj/%.o: %.cpp
	@mkdir -p $(@D)
	$(CXX) $(CXXFLAGS) -c $< -o $@

$(OUT)/libbodies.a: $(BODY_OBJECTS)
	@rm -f $@
	$(AR) rcs $@ $^

$(OUT)/%$(EXE): $(OUT)/obj/tests/native/%.o $(OUT)/libbodies.a
	$(CXX) $< $(OUT)/libbodies.a $(LDFLAGS) -o $@

$(OUT)/fuzz_%$(EXE): $(OUT)/obj/fuzz/fuzz_%.o $(FUZZ_SUPPORT) $(OUT)/libbodies.a
	$(CXX) $< $(FUZZ_SUPPORT) $(OUT)/libbodies.a $(LDFLAGS) -o $@

-include $(shell find $(OUT)/obj -name '*.d' 2>/dev/null)

# Entry points for a new user: `make run` and `make test`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_REL  ?= build-release
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps test-deps configure build run test test-asan bench fuzz install uninstall screenshot tidy clean

all: build

# What only the tests need: independent tools the tests check our output against.
TEST_PACKAGES = sdcc srecord openocd

deps:
	@sh scripts/install-deps.sh

test-deps:
	@sh scripts/install-deps.sh $(TEST_PACKAGES)

$(BUILD)/build.ninja:
	cmake $(CMAKE_GEN) -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/kaliwire

# The test targets build with warnings as errors, as CI does; `make run` does not.
WERROR_ON = grep -q '^KW_WERROR:BOOL=ON' $(1)/CMakeCache.txt || cmake -S . -B $(1) -DKW_WERROR=ON >/dev/null

test: test-deps configure
	@$(call WERROR_ON,$(BUILD))
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: test-deps
	@[ -f $(BUILD_ASAN)/build.ninja ] || cmake $(CMAKE_GEN) -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE=ON -DKW_WERROR=ON
	@$(call WERROR_ON,$(BUILD_ASAN))
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: deps
	@sh scripts/install-deps.sh srecord binutils xvfb hyperfine jq
	@[ -f $(BUILD_REL)/build.ninja ] || cmake $(CMAKE_GEN) -S . -B $(BUILD_REL) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_REL) -j $(JOBS)
	sh bench/run.sh $(BUILD_REL)

fuzz: deps
	@sh scripts/install-deps.sh clang libclang-rt-14-dev
	sh fuzz/run.sh

install: build
	sh scripts/install-user.sh install $(BUILD)

uninstall:
	sh scripts/install-user.sh uninstall

screenshot: build
	sh scripts/screenshot.sh $(BUILD) docs

# clang-tidy on the sources changed against main (or FILES="a.cpp b.cpp").
tidy: build
	sh scripts/tidy.sh $(BUILD) $(FILES)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_REL) build-fuzz

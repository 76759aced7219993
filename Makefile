# Entry points for a new user: `make run` and `make test`.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_REL  ?= build-release
BUILD_DEB  ?= build-deb
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps test-deps configure build run deb deb-check run-stlink test test-asan bench fuzz install uninstall install-udev uninstall-udev screenshot tidy clean

all: build

# What only the tests need: independent tools the tests check our output against, and
# Debian's package and manual page tools.
TEST_PACKAGES = sdcc srecord openocd jq dpkg-dev man-db

deps:
	@sh scripts/install-deps.sh

test-deps:
	@sh scripts/install-deps.sh $(TEST_PACKAGES)

# Each build folder is configured once, with the options of its kind.
$(BUILD)/build.ninja:      CONFIG = -DCMAKE_BUILD_TYPE=RelWithDebInfo
$(BUILD_ASAN)/build.ninja: CONFIG = -DCMAKE_BUILD_TYPE=Debug -DKW_SANITIZE=ON
$(BUILD_REL)/build.ninja:  CONFIG = -DCMAKE_BUILD_TYPE=Release
# A package is built with Debian's hardening flags, as dpkg-buildpackage would build it.
DEB_FLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get
$(BUILD_DEB)/build.ninja:  CONFIG = -DCMAKE_BUILD_TYPE=Release -DKW_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$$($(DEB_FLAGS) CPPFLAGS) $$($(DEB_FLAGS) CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$$($(DEB_FLAGS) LDFLAGS)"
%/build.ninja:
	cmake $(CMAKE_GEN) -S . -B $* $(CONFIG) $(WERROR)

configure: deps $(BUILD)/build.ninja

# What a user runs: the window, kwflash, the helper process, both programmer libraries (bin/
# with the stand-in, bin/stlink/ with the ST-LINK library) and the manual pages. The tests,
# fuzz replays and benchmarks are left to `make test` and `make bench`.
TOOL_TARGETS = kaliwire kwflash kaliwire-programmer tolvanex_standin stlink_tool kw_docs

build: configure
	cmake --build $(BUILD) -j $(JOBS) --target $(TOOL_TARGETS)

run: build
	$(BUILD)/bin/kaliwire

# The tool with the ST-LINK library beside it, for a real probe and chip.
run-stlink: build
	$(BUILD)/bin/stlink/kaliwire

# The test targets build with warnings as errors, as CI does: they configure a new folder
# with them and switch them on in a folder that `make run` configured without. `make run`
# and `make bench` configure without and never switch back, which would rebuild everything.
test test-asan: WERROR = -DKW_WERROR=ON
WERROR_ON = grep -q '^KW_WERROR:BOOL=ON' $(1)/CMakeCache.txt || cmake -S . -B $(1) -DKW_WERROR=ON >/dev/null

test: test-deps configure
	@$(call WERROR_ON,$(BUILD))
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

test-asan: test-deps $(BUILD_ASAN)/build.ninja
	@$(call WERROR_ON,$(BUILD_ASAN))
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

bench: deps $(BUILD_REL)/build.ninja
	@sh scripts/install-deps.sh srecord binutils xvfb hyperfine jq openocd
	cmake --build $(BUILD_REL) -j $(JOBS)
	sh bench/run.sh $(BUILD_REL)

fuzz: deps
	@sh scripts/install-deps.sh clang libclang-rt-14-dev
	sh fuzz/run.sh

# kaliwire_VERSION_ARCH.deb in this folder: install it with `sudo apt install ./kaliwire_*.deb`.
deb: deps
	@sh scripts/install-deps.sh dpkg-dev
	@$(MAKE) --no-print-directory $(BUILD_DEB)/build.ninja
	cmake --build $(BUILD_DEB) -j $(JOBS) --target $(TOOL_TARGETS)
	rm -f $(BUILD_DEB)/package/kaliwire_*.deb
	cd $(BUILD_DEB) && cpack -G DEB -B $(CURDIR)/$(BUILD_DEB)/package
	cp $(BUILD_DEB)/package/kaliwire_*.deb .

# The package as Debian's checker sees it: fails on errors, shows warnings.
deb-check: deb
	@sh scripts/install-deps.sh lintian
	lintian --fail-on error --display-info $(BUILD_DEB)/package/kaliwire_*.deb

# PROGRAMMER=standin installs the stand-in library instead of the ST-LINK one.
PROGRAMMER ?= stlink
install: build
	PROGRAMMER=$(PROGRAMMER) sh scripts/install-user.sh install $(BUILD)

uninstall:
	sh scripts/install-user.sh uninstall

# Lets desktop users open ST-LINK probes without root (run with sudo).
UDEV_RULES_DIR ?= /etc/udev/rules.d
UDEV_RULE = 60-kaliwire-stlink.rules
install-udev:
	install -D -m 644 packaging/$(UDEV_RULE) $(UDEV_RULES_DIR)/$(UDEV_RULE)
	@if command -v udevadm >/dev/null; then udevadm control --reload-rules && \
	  udevadm trigger --subsystem-match=usb --attr-match=idVendor=0483; fi
	@echo "Installed $(UDEV_RULES_DIR)/$(UDEV_RULE); unplug and replug the ST-LINK."

uninstall-udev:
	rm -f $(UDEV_RULES_DIR)/$(UDEV_RULE)
	@if command -v udevadm >/dev/null; then udevadm control --reload-rules; fi

screenshot: build
	sh scripts/screenshot.sh $(BUILD) docs

# clang-tidy on the sources changed against main (or FILES="a.cpp b.cpp").
tidy: build
	sh scripts/tidy.sh $(BUILD) $(FILES)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_REL) $(BUILD_DEB) build-fuzz

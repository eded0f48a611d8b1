# Quick start: `make run` builds and starts the tool, `make test` builds and runs the test suite.
# Both install the Debian packages they need first, when missing.

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Warnings are errors in CI builds (CI=true), and anywhere WERROR=ON is given.
ifeq ($(CI),true)
WERROR ?= ON
else
WERROR ?= OFF
endif
# In CI a release check whose tool is missing fails the configuration instead of being left out,
# and the set-up step installs the tools of the checks only CI requires (lintian, appstreamcli,
# PostgreSQL for the tests of `forward`).
# CI's packages name a maintainer, so lintian judges the package rather than the placeholder
# that stands in when DEBFULLNAME and DEBEMAIL are not set.
ifeq ($(CI),true)
REQUIRE_CHECKS ?= ON
SETUP_GROUPS ?= release browser postgres
export DEBFULLNAME ?= Bootloader CI
export DEBEMAIL ?= ci@bootloader.invalid
else
REQUIRE_CHECKS ?= OFF
SETUP_GROUPS ?=
endif

# Further checks that CI runs after the suite (`make test` with CI=true). Each is a target of
# its own that can also be run by hand; add new ones with `CI_CHECKS += name`.
CI_CHECKS :=

.PHONY: all setup configure build run test package clean

all: build

setup:
	@bash scripts/setup.sh $(SETUP_GROUPS)

configure: setup
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBOOTLOADER_WERROR=$(WERROR) \
		-DBOOTLOADER_REQUIRE_CHECKS=$(REQUIRE_CHECKS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	$(BUILD_DIR)/app/bootloader

test: build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
ifeq ($(CI),true)
	@for check in $(CI_CHECKS); do $(MAKE) --no-print-directory $$check || exit 1; done
endif

# The Debian package, bootloader_VERSION_ARCH.deb in $(BUILD_DIR).
package: build
	cmake --build $(BUILD_DIR) --target package

clean:
	rm -rf $(BUILD_DIR)

# Uploads the sample image in examples/ to bootloader-sim with bootloader-cli, then checks that
# the simulated device saved exactly the records sent.
.PHONY: demo
demo: build
	bash scripts/demo.sh $(BUILD_DIR)

# Sanitizers: the whole suite once more, built in build-asan with AddressSanitizer and
# UndefinedBehaviorSanitizer. Any report, a leak included, fails the test that printed it. Qt is
# not instrumented; the few one-time allocations of Qt and its libraries that LeakSanitizer
# cannot see freed are listed, each with its reason, in sanitizers/lsan.supp.
ASAN_BUILD_DIR ?= build-asan
# fast_unwind_on_malloc=0: Qt is built without frame pointers, so only the slow unwinder gives
# the whole stack of an allocation, which the suppressions match on.
ASAN_RUN_OPTIONS = detect_leaks=1:halt_on_error=1:check_initialization_order=1:strict_init_order=1
SANITIZER_ENV = ASAN_OPTIONS=$(ASAN_RUN_OPTIONS):fast_unwind_on_malloc=0 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	LSAN_OPTIONS=suppressions=$(CURDIR)/sanitizers/lsan.supp:print_suppressions=0 \
	BOOTLOADER_TEST_ROWS_IN_TURN=1

CI_CHECKS += test-asan
.PHONY: test-asan
test-asan: setup
	cmake -S . -B $(ASAN_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DBOOTLOADER_WERROR=$(WERROR) -DBOOTLOADER_SANITIZE=ON
	cmake --build $(ASAN_BUILD_DIR) -j $(JOBS)
	cd $(ASAN_BUILD_DIR) && $(SANITIZER_ENV) QT_QPA_PLATFORM=offscreen \
		ctest --output-on-failure -j $(JOBS)

# Fuzzing: the image reader's libFuzzer target, built with clang in build-fuzz (the set-up step
# installs clang on its first run: `scripts/setup.sh fuzz`) and run for FUZZ_SECONDS against a
# reference splitter. A crash or a mismatch fails; fuzz/run.sh says where the input went.
FUZZ_BUILD_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

CI_CHECKS += fuzz
.PHONY: fuzz
fuzz:
	@bash scripts/setup.sh fuzz
	cmake -S . -B $(FUZZ_BUILD_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DBOOTLOADER_WERROR=$(WERROR) -DBOOTLOADER_FUZZ=ON -DBOOTLOADER_BUILD_TESTS=OFF
	cmake --build $(FUZZ_BUILD_DIR) --target fuzz_records -j $(JOBS)
	bash fuzz/run.sh $(FUZZ_BUILD_DIR) $(FUZZ_SECONDS)

# Valgrind: the transfer tests of the plain build under memcheck. Any invalid access or use of
# uninitialised memory, and any definite leak, fails. Slow, so not a CI check: run it by hand.
MEMCHECK_TESTS ?= firmwareimage seriallink device
VALGRIND = valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
	--errors-for-leak-kinds=definite --show-leak-kinds=definite

.PHONY: memcheck
memcheck: build
	@bash scripts/setup.sh memcheck
	@for name in $(MEMCHECK_TESTS); do \
		echo "memcheck: tst_$$name"; \
		$(VALGRIND) -q $(BUILD_DIR)/tests/tst_$$name > $(BUILD_DIR)/memcheck-$$name.log 2>&1 \
			|| { cat $(BUILD_DIR)/memcheck-$$name.log; echo "memcheck: tst_$$name failed"; exit 1; }; \
		grep -E '^Totals' $(BUILD_DIR)/memcheck-$$name.log; \
	done

# Qt 6: the whole suite once more, built against Debian's Qt 6 in build-qt6 (the set-up step
# installs it: `scripts/setup.sh qt6`). The plain build takes Qt 5; CI runs this after the suite.
QT6_BUILD_DIR ?= build-qt6

CI_CHECKS += test-qt6
.PHONY: test-qt6
test-qt6:
	@bash scripts/setup.sh qt6
	cmake -S . -B $(QT6_BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DBOOTLOADER_WERROR=$(WERROR) \
		-DBOOTLOADER_REQUIRE_CHECKS=$(REQUIRE_CHECKS) -DBOOTLOADER_QT_MAJOR=6
	cmake --build $(QT6_BUILD_DIR) -j $(JOBS)
	cd $(QT6_BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# Windows: every translation unit of a Windows build compiled with MinGW-w64 (-fsyntax-only)
# against the Qt 5 headers, configured in build-windows-check (the set-up step installs the
# compiler: `scripts/setup.sh windows`). It shows the code compiles for Windows; nothing is
# linked or run there.
WINDOWS_CHECK_DIR ?= build-windows-check

CI_CHECKS += windows-check
.PHONY: windows-check
windows-check:
	@bash scripts/setup.sh windows
	bash scripts/windows-check.sh $(WINDOWS_CHECK_DIR) $(WERROR)

# docs/screenshot.png, the window as the README shows it, taken on a virtual X display.
.PHONY: screenshot
screenshot: build
	bash scripts/screenshot.sh $(BUILD_DIR)/app/bootloader

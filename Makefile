# Two commands do everything on a fresh Debian machine:
#   make run    install what is missing, build, start the demo
#   make test   install what is missing, build, run every test
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
# SANITIZE=thread builds the libraries below the user interface with ThreadSanitizer and
# runs their tests (the Qt libraries are not instrumented, so the window tests stay out).

SANITIZE ?= 0
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
BUILD_TYPE ?= Debug
SANITIZE_OPTION := ON
else ifeq ($(SANITIZE),thread)
BUILD_DIR ?= build-tsan
BUILD_TYPE ?= RelWithDebInfo
SANITIZE_OPTION := thread
BUILD_TARGETS := --target platform_tests engine_tests
TEST_LABELS := -L '^(platform|engine)$$'
export TSAN_OPTIONS ?= halt_on_error=1 second_deadlock_stack=1
else
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
SANITIZE_OPTION := OFF
endif

# Fuzz targets are built with clang in their own folder; `make fuzz` runs each for
# FUZZ_SECONDS (`make test` does so too, and skips them when clang is not installed).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps configure build run test bench fuzz install uninstall clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DTAPIR_SANITIZE=$(SANITIZE_OPTION) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS) $(BUILD_TARGETS)

run: build
	@scripts/run-demo.sh $(BUILD_DIR)

# The fuzz targets run first so that the test runner's summary closes the output.
test: build
	@$(MAKE) --no-print-directory fuzz
	@cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600 $(TEST_LABELS)

fuzz:
	@if ! command -v clang++ >/dev/null 2>&1; then \
		echo "clang++ not found: fuzz targets skipped"; exit 0; \
	fi; \
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_CXX_COMPILER=clang++ -DTAPIR_FUZZ=ON >/dev/null && \
	cmake --build $(FUZZ_DIR) -j $(JOBS) && \
	for f in $(FUZZ_DIR)/tests/fuzz/*_fuzz; do \
		name=$$(basename $$f); corpus=$(FUZZ_DIR)/corpus/$$name; mkdir -p $$corpus; \
		echo "fuzzing $$name for $(FUZZ_SECONDS) s"; \
		$$f -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 $$corpus tests/fuzz/corpus/$$name \
			2>$(FUZZ_DIR)/$$name.log || { tail -n 40 $(FUZZ_DIR)/$$name.log; exit 1; }; \
		grep -E "stat::number_of_executed_units|Done" $(FUZZ_DIR)/$$name.log | tail -n 2; \
	done

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

# Installs tapir, tapir-boxsim, the desktop entry and the icon under $(PREFIX) (DESTDIR is
# honoured); uninstall removes exactly the files the last install wrote.
install: build
	@cmake --install $(BUILD_DIR) --prefix $(PREFIX)

uninstall:
	@if [ -f $(BUILD_DIR)/install_manifest.txt ]; then \
		xargs -d '\n' rm -fv < $(BUILD_DIR)/install_manifest.txt; \
	else \
		echo "uninstall: nothing installed from $(BUILD_DIR)"; \
	fi

clean:
	rm -rf build build-asan build-tsan build-fuzz

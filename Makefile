# Two commands do everything on a fresh Debian machine:
#   make run    install what is missing, build, start the demo
#   make test   install what is missing, build, run every test
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.

SANITIZE ?= 0
JOBS ?= $(shell nproc)
ifeq ($(SANITIZE),1)
BUILD_DIR ?= build-asan
BUILD_TYPE ?= Debug
else
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
endif

# Fuzz targets are built with clang in their own folder; `make fuzz` runs each for
# FUZZ_SECONDS (`make test` does so too, and skips them when clang is not installed).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 20

.PHONY: all deps configure build run test bench fuzz clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		-DTAPIR_SANITIZE=$(if $(filter 1,$(SANITIZE)),ON,OFF) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run-demo.sh $(BUILD_DIR)

test: build
	@cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600
	@$(MAKE) --no-print-directory fuzz

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

clean:
	rm -rf build build-asan build-fuzz

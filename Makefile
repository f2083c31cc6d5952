# Two commands do everything on a fresh Debian machine:
#   make run    install what is missing, build, start the demo
#   make test   install what is missing, build, run every test
# SANITIZE=1 builds with AddressSanitizer and UndefinedBehaviorSanitizer.
# SANITIZE=thread builds the libraries below the user interface with ThreadSanitizer and
# runs their tests (the Qt libraries are not instrumented, so the window tests stay out).

SANITIZE ?= 0
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

.PHONY: all deps configure build run test bench clean

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

test: build
	@cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS) --timeout 600 $(TEST_LABELS)

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build build-asan build-tsan

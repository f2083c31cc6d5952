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

.PHONY: all deps configure build run test bench install uninstall clean

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
	rm -rf build build-asan build-tsan

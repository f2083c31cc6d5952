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

.PHONY: all deps configure build run test bench clean

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

bench: build
	@for b in $(BUILD_DIR)/bench/*_bench; do [ -x "$$b" ] && "$$b"; done

clean:
	rm -rf build build-asan

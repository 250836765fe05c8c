# Brieflotse: build, run and test. Every target installs what is missing first.
BUILD ?= build
SANITIZE ?= OFF
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# What install-deps.sh installs and whether the tests are built: `make run`
# needs only the program, `make test` the test servers and tools too.
DEPS ?= test
TESTS ?= ON

.PHONY: deps configure build run test format fuzz bench clean

deps:
	@bash scripts/install-deps.sh $(DEPS)

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DBRIEFLOTSE_SANITIZE=$(SANITIZE) -DBRIEFLOTSE_TESTS=$(TESTS) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: DEPS = run
run: TESTS = OFF
run: build
	./$(BUILD)/brieflotse

test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 600

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

fuzz: deps
	@bash scripts/fuzz.sh

bench: build
	@bash bench/run.sh $(BUILD)

clean:
	rm -rf build build-asan

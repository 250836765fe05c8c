# Brieflotse: build, run and test. Every target installs what is missing first.
BUILD ?= build
SANITIZE ?= OFF
# Warnings as errors: on for the tests (make test, CI), off for make run and
# packages, so that a newer compiler's new warnings do not stop a build.
WERROR ?= OFF
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# What install-deps.sh installs and whether the tests are built: `make run`
# needs only the program, `make test` the test servers and tools too.
DEPS ?= test
TESTS ?= ON
# make install: where to (PREFIX) and below which staging root (DESTDIR).
PREFIX ?= /usr/local
DESTDIR ?=

.PHONY: deps configure build run test format fuzz bench clean install uninstall package

deps:
	@bash scripts/install-deps.sh $(DEPS)

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DBRIEFLOTSE_SANITIZE=$(SANITIZE) -DBRIEFLOTSE_TESTS=$(TESTS) \
		-DBRIEFLOTSE_WERROR=$(WERROR) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

run: DEPS = run
run: TESTS = OFF
run: build
	./$(BUILD)/brieflotse

test: WERROR = ON
test: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 600

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

fuzz: deps
	@bash scripts/fuzz.sh

bench: build
	@bash bench/run.sh $(BUILD)

# The program, its desktop entry, icons, metainfo and manual page; the list of
# installed files goes to $(BUILD)/install_manifest.txt for `make uninstall`
# (give it the same DESTDIR).
install: DEPS = run
install: TESTS = OFF
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "uninstall: $(BUILD)/install_manifest.txt is missing (make install first)"; exit 1; }
	@while IFS= read -r file || [ -n "$$file" ]; do rm -fv "$(DESTDIR)$$file"; done < $(BUILD)/install_manifest.txt

# The Debian package $(BUILD)/brieflotse_<version>_<arch>.deb (CPack). CPack's
# own install rewrites install_manifest.txt; the one of `make install` is kept.
package: DEPS = run
package: TESTS = OFF
package: build
	@manifest=$(BUILD)/install_manifest.txt; rm -f $$manifest.keep; \
	if [ -f $$manifest ]; then cp $$manifest $$manifest.keep; fi; \
	status=0; (cd $(BUILD) && cpack -G DEB) || status=$$?; \
	if [ -f $$manifest.keep ]; then mv $$manifest.keep $$manifest; else rm -f $$manifest; fi; \
	exit $$status

clean:
	rm -rf build build-asan build-tsan build-fuzz

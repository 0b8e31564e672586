# Top-level entry points. `make demo` and `make test` install what they need first.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_MIPS ?= build-mips
JOBS       ?= $(shell nproc)
# One test per core: the end-to-end tests under the sanitizers miss their deadlines when more share them.
TEST_JOBS  ?= $(JOBS)
CMAKE_GEN  := -G Ninja
SHELL      := /bin/bash
# Tests without their own TIMEOUT (the GoogleTest cases) get this one.
CTEST_ARGS ?= --output-on-failure --no-tests=error --timeout 300 -j $(TEST_JOBS)

.PHONY: all deps build build-asan build-mips compile compile-asan compile-mips test test-native test-asan \
	test-mips demo bench clean

all: build

deps:
	bash tools/install-deps.sh

build: deps
	@$(MAKE) --no-print-directory compile

build-asan: deps
	@$(MAKE) --no-print-directory compile-asan

build-mips: deps
	@$(MAKE) --no-print-directory compile-mips

# The compile-* targets build a tree without installing anything first.
compile:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

compile-asan:
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMT_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)

compile-mips:
	cmake -S . -B $(BUILD_MIPS) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DMT_PURE_ONLY=ON
	cmake --build $(BUILD_MIPS) -j $(JOBS)

test-native: build
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

test-asan: build-asan
	ctest --test-dir $(BUILD_ASAN) $(CTEST_ARGS)

test-mips: build-mips
	ctest --test-dir $(BUILD_MIPS) $(CTEST_ARGS)

# All three suites run even when one fails; their closing lines are repeated at the very end.  The
# native suite mostly waits on its peers and leaves over half the processors idle, so the other two
# trees compile meanwhile at the lowest priority, which the suite's own processes always win over.
test: build
	@status=0; bg=$(BUILD)/background-build; \
	( nice -n 19 $(MAKE) --no-print-directory compile-asan compile-mips > $$bg.log 2>&1; echo $$? > $$bg.rc ) & \
	pid=$$!; \
	for b in $(BUILD) $(BUILD_ASAN) $(BUILD_MIPS); do \
		if [ $$b != $(BUILD) ] && [ -n "$$pid" ]; then \
			wait $$pid; pid=; cat $$bg.log; \
			if [ "$$(cat $$bg.rc)" != 0 ]; then echo "== the sanitizer or target build failed"; status=1; fi; \
		fi; \
		echo "== ctest $$b"; \
		ctest --test-dir $$b $(CTEST_ARGS) 2>&1 | tee $$b/ctest-output.txt; \
		[ $${PIPESTATUS[0]} -eq 0 ] || status=1; \
	done; \
	echo "== summary"; \
	for b in $(BUILD) $(BUILD_ASAN) $(BUILD_MIPS); do \
		sed -n '/The following tests FAILED/,/^$$/p' $$b/ctest-output.txt | sed "s|^|$$b: |"; \
		grep -h -E 'tests passed|Total Test time' $$b/ctest-output.txt | sed "s|^|$$b: |"; \
	done; \
	exit $$status

demo: build
	bash tools/demo.sh $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_MIPS)

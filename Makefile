# Top-level entry points. `make demo` and `make test` install what they need first.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_MIPS ?= build-mips
JOBS       ?= $(shell nproc)
CMAKE_GEN  := -G Ninja

.PHONY: all deps build build-asan build-mips test test-native test-asan test-mips demo bench clean

all: build

deps:
	bash tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DMT_SANITIZE=ON
	cmake --build $(BUILD_ASAN) -j $(JOBS)

build-mips: deps
	cmake -S . -B $(BUILD_MIPS) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DCMAKE_TOOLCHAIN_FILE=cmake/mips-linux-gnu.cmake -DMT_PURE_ONLY=ON
	cmake --build $(BUILD_MIPS) -j $(JOBS)

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ctest --test-dir $(BUILD_ASAN) --output-on-failure -j $(JOBS)

test-mips: build-mips
	ctest --test-dir $(BUILD_MIPS) --output-on-failure -j $(JOBS)

test: test-native test-asan test-mips

demo: build
	bash tools/demo.sh $(BUILD)

bench: build
	bash bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_MIPS)

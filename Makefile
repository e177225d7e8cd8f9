# The two commands of the README: `make run` and `make test`. Each installs what is missing
# (scripts/bootstrap), configures and builds first.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifdef CI
CMAKE_FLAGS += -DCORVANE_WERROR=ON
endif
JOBS ?= $(shell nproc)

.PHONY: run test build bootstrap clean

run: build
	$(BUILD)/bench/stream/stream_bench

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

build: bootstrap
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

bootstrap:
	@scripts/bootstrap

clean:
	rm -rf $(BUILD) build-*

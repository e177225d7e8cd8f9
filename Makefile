# The two commands of the README: `make run` and `make test`. Each installs what is missing
# (scripts/bootstrap), configures and builds first.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifdef CI
CMAKE_FLAGS += -DCORVANE_WERROR=ON
endif
JOBS ?= $(shell nproc)

.PHONY: run test build bootstrap clean screenshots

# The desktop window needs a display; without one, say where to go instead.
run: build
	@if [ -z "$$DISPLAY" ] && [ -z "$$WAYLAND_DISPLAY" ]; then \
	  echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window"; \
	  echo "cannot open. Start it on a virtual display with:  xvfb-run $(BUILD)/app/corvane"; \
	  echo "or compress without a window with the headless command corvane-batch, where this"; \
	  echo "checkout has it (see the README)."; \
	  exit 1; \
	fi
	$(BUILD)/app/corvane

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

build: bootstrap
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

bootstrap:
	@scripts/bootstrap

# The README's pictures of the window and its two dialogs, rendered on a virtual display.
screenshots: build
	xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/app/corvane-screenshots docs

clean:
	rm -rf $(BUILD) build-*

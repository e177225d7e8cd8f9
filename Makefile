# The two commands of the README: `make run` and `make test`. Each installs what is missing
# (scripts/bootstrap), configures and builds first.
BUILD ?= build
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
ifdef CI
CMAKE_FLAGS += -DCORVANE_WERROR=ON
endif
JOBS ?= $(shell nproc)

.PHONY: run test build bootstrap clean screenshots

# The desktop window needs a display. Without one, say how to open it anyway, and show the
# headless command at work instead: the README's example on a small sample made here.
SAMPLE = $(BUILD)/sample
run: build
	@if [ -n "$$DISPLAY" ] || [ -n "$$WAYLAND_DISPLAY" ]; then \
	  echo "$(BUILD)/app/corvane"; exec $(BUILD)/app/corvane; \
	fi; \
	echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window"; \
	echo "cannot open. Start it on a virtual display with:  xvfb-run $(BUILD)/app/corvane"; \
	echo "Meanwhile, the headless command on a sample in $(SAMPLE):"; \
	rm -rf $(SAMPLE) && mkdir -p $(SAMPLE)/prompts/menu $(SAMPLE)/phone && \
	sox -n -r 44100 -c 2 -b 16 $(SAMPLE)/prompts/welcome.wav synth 3 sine 220-880 gain -6 && \
	sox -n -r 44100 -c 2 -b 16 $(SAMPLE)/prompts/menu/option-1.wav synth 2 pluck C4 gain -6 && \
	sox -n -r 48000 -c 1 -b 24 $(SAMPLE)/prompts/menu/option-2.wav synth 2 pluck E4 gain -6 && \
	echo "cd $(SAMPLE) && ../app/corvane-batch -o phone -c mulaw --rate 8000 --channels 1 -r prompts" && \
	cd $(SAMPLE) && ../app/corvane-batch -o phone -c mulaw --rate 8000 --channels 1 -r prompts

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

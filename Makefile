BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
# What the demo needs: the command, which brings the renderer, its image library, the shader
# module and the declarations along (not the tests and benchmarks).
DEMO_TARGETS = ornrender_cli

# CMake's progress lines are enough; make's "Entering directory" lines only bury them.
MAKEFLAGS += --no-print-directory

.PHONY: all deps configure build build-demo demo test browser-test interop farm-test sanitize tsan fuzz bench format clean

all: build

deps:
	@./scripts/setup-deps.sh

$(BUILD)/CMakeCache.txt: | deps
	@echo "configuring $(BUILD)"
	@cmake -S . -B $(BUILD) --log-level=WARNING $(CMAKE_FLAGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

build-demo: configure
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)

DEMO_EXR = out/demo.singleTK.0001.exr
LIGHTS_EXR = out/lights.singleTK.0001.exr

# Renders the multi-pass demo, checks that its layers rebuild the beauty, and draws a PNG
# preview of the beauty and a contact sheet of every layer.
demo: build-demo
	@mkdir -p out
	$(BUILD)/bin/ornrender scenes/demo.mi
	$(BUILD)/bin/ornrender --check-passes $(DEMO_EXR) --preview out/demo.png \
		--contact-sheet out/demo_passes.png --sheet-from $(DEMO_EXR)
	$(BUILD)/bin/ornrender scenes/lights.mi
	$(BUILD)/bin/ornrender --check-passes $(LIGHTS_EXR) --preview out/lights.png \
		--contact-sheet out/lights_passes.png --sheet-from $(LIGHTS_EXR)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# ornrender --view in headless Chromium (installs chromium when missing; half a minute once
# built): a bucket is painted before the frame ends, the layer menu and a pixel readout match the
# EXR file, a dragged rectangle gives the --region command. Screenshots go to $(BUILD)/browser-test/.
browser-test: build-demo
	@./scripts/setup-deps.sh chromium python3 openimageio-tools
	python3 tests/browser/view_test.py $(BUILD)

# Blender's compositor reads our ID mattes (installs blender when missing; about 10 seconds once
# built): its Cryptomatte node picks objects and a material by name from the saver's file and from
# the renderer's own EXR output, and each matte must equal the coverage the file holds. Files and
# Blender's logs go to $(BUILD)/interop/.
interop: configure
	@./scripts/setup-deps.sh blender
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS)
	@# apart: a build dir configured before the checker existed learns of it in the call above
	@cmake --build $(BUILD) -j $(JOBS) --target interop_matte_check
	tests/interop/run.sh $(BUILD)

# A private single-node Slurm cluster renders through scripts/slurm (about half a minute; needs
# root or the current user's right to run munge and slurmd; installs slurm-wlm when missing).
farm-test: build
	tests/slurm/run.sh $(BUILD)

# AddressSanitizer + UndefinedBehaviorSanitizer build of the whole suite.
sanitize: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DORN_SANITIZE=address
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ctest --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORN_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS="suppressions=$(CURDIR)/tests/tsan.supp halt_on_error=1" \
		ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang, ASan + UBSan) for the scene reader, scene loading with the world
# build, and the OBJ reader; each runs FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	@./scripts/setup-deps.sh clang libclang-rt-14-dev
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORN_FUZZ=ON
	cmake --build build-fuzz -j $(JOBS) --target fuzz_parse fuzz_load fuzz_obj fuzz_texture fuzz_merge ornrender_cli ornimagecheck
	./scripts/run-fuzzers.sh $(CURDIR)/build-fuzz $(FUZZ_SECONDS)

bench: build
	$(BUILD)/bin/bench_render

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz out

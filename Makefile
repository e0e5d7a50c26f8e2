# Wraps the README's commands. BUILD picks the build folder.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build configure deps test demo clean

all: build

deps:
	@sh tools/deps/install.sh tools/deps/build.txt tools/deps/test.txt

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: deps
	$(MAKE) build
	python3 -u tools/demo/demo.py --build $(BUILD) $(DEMO_ARGS)

clean:
	rm -rf $(BUILD)

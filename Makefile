# The two commands a newcomer needs:
#   make run     build, then run the main job against the built-in emulated camera
#   make check   build and run every test: default and asan presets, threads tests under tsan
JOBS ?= $(shell nproc)
KSCAM = build/default/tools/kscam/kscam

.PHONY: run check build build-asan build-tsan clean

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

build-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

build-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

run: build
	$(KSCAM) info

check: build build-asan build-tsan
	ctest --preset default -j $(JOBS)
	ctest --preset asan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

clean:
	rm -rf build

# The two commands a newcomer needs:
#   make run     build the tool, then capture three full-resolution frames of the emulated
#                camera's test chart into ./frames as PNG
#   make check   build and run every test: default and asan presets, threads tests under tsan
JOBS ?= $(shell nproc)
KSCAM = build/default/tools/kscam/kscam

.PHONY: run check build build-tool build-asan build-tsan clean

build-tool:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target kscam

build:
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

build-asan:
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)

build-tsan:
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)

# Exposure 1200 lines at gain code 32 (unity) puts the chart's mid grey at half scale and its
# white just below full scale. These settings are saved like any other change.
run: build-tool
	$(KSCAM) capture -n 3 --region 0,0,4608,3288 --set Exposure=1200 --set GlobalGain=32 -o frames

check: build build-asan build-tsan
	ctest --preset default -j $(JOBS)
	ctest --preset asan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

clean:
	rm -rf build

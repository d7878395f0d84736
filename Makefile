# The two commands a site owner or a developer needs: `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test build build-test deps clean bench

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

run: build
	./build/zanthd

build-test: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZANTH_SANITIZE=ON
	cmake --build build-test -j $(JOBS)

test: build-test
	ctest --test-dir build-test --output-on-failure -j $(JOBS) --timeout 300

bench: build
	@echo "benchmarks: see bench/README.md"

clean:
	rm -rf build build-test

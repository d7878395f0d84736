# The two commands a site owner or a developer needs: `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test build build-test deps clean bench fanout fanout-suite http-bench fanout-plot

deps:
	@scripts/install-deps

# The server and the command-line client, without the tests.
build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTH_TESTS=OFF
	cmake --build build -j $(JOBS) --target zanthd zanthc

run: build
	./build/zanthd

build-test: deps
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZANTH_SANITIZE=ON
	cmake --build build-test -j $(JOBS)

test: build-test
	ctest --test-dir build-test --output-on-failure -j $(JOBS) --timeout 300

# Extra arguments for the benchmark, e.g. make bench BENCH_ARGS="--clients 50,200 --seconds 5".
BENCH_ARGS ?=

bench: build
	cmake --build build -j $(JOBS) --target chat_bench
	./build/chat_bench $(BENCH_ARGS)

# The fan-out scenarios against zanthd and the relay, e.g.
# make fanout FANOUT_ARGS="lat --clients 200 --rate 100000".
FANOUT_ARGS ?= sat

fanout: build
	cmake --build build -j $(JOBS) --target fanout relay
	./build/fanout $(FANOUT_ARGS)

# Every fan-out scenario behind bench/README.md's figures, and the plot.
fanout-suite: build
	cmake --build build -j $(JOBS) --target fanout relay
	bench/fanout_suite.sh build bench/results/fanout.jsonl

# The HTTP file server against nginx; installs wrk and nginx when missing.
HTTP_ARGS ?=

http-bench: build
	bench/http.sh --zanthd build/zanthd $(HTTP_ARGS)

# The plot of bench/README.md from the figures in bench/results/.
fanout-plot:
	bench/plot.sh bench/results/fanout.jsonl bench/results/fanout.png

clean:
	rm -rf build build-test

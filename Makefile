# The two commands a site owner or a developer needs: `make run` and `make test`.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: run test build build-test deps deps-test clean bench install package reference diagram fanout fanout-suite http-bench fanout-plot

deps:
	@scripts/install-deps

# The tests also need node, npm and Chromium for the browser page's tests.
deps-test:
	@scripts/install-deps test

# The server and the command-line client, without the tests.
build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTH_TESTS=OFF
	cmake --build build -j $(JOBS) --target zanthd zanthc

run: build
	./build/zanthd

build-test: deps-test
	cmake -S . -B build-test -DCMAKE_BUILD_TYPE=Debug -DZANTH_SANITIZE=ON
	cmake --build build-test -j $(JOBS)

test: build-test
	ctest --test-dir build-test --output-on-failure -j $(JOBS) --timeout 300

# Extra arguments for the benchmark, e.g. make bench BENCH_ARGS="--clients 50,200 --seconds 5".
BENCH_ARGS ?=

bench: build
	cmake --build build -j $(JOBS) --target chat_bench
	./build/chat_bench $(BENCH_ARGS)

# Installs the server, the client, their man pages and the systemd user unit under PREFIX
# (root is needed for /usr/local). For a per-user install:
#   make install PREFIX=$$HOME/.local SYSTEMD_USER_UNIT_DIR=$$HOME/.local/share/systemd/user
PREFIX ?= /usr/local
SYSTEMD_USER_UNIT_DIR ?= lib/systemd/user
RELEASE_DIR ?= build-release

install: deps
	cmake -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DZANTH_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX="$(PREFIX)" -DZANTH_SYSTEMD_USER_UNIT_DIR="$(SYSTEMD_USER_UNIT_DIR)"
	cmake --build $(RELEASE_DIR) -j $(JOBS) --target zanthd zanthc zanthd-man zanthc-man
	cmake --install $(RELEASE_DIR)

# The Debian package, build-package/zanthd_<version>_<arch>.deb, installed
# with: apt-get install ./build-package/zanthd_*.deb
PACKAGE_DIR ?= build-package

package: deps
	cmake -S . -B $(PACKAGE_DIR) -DCMAKE_BUILD_TYPE=Release -DZANTH_TESTS=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DZANTH_SYSTEMD_USER_UNIT_DIR=lib/systemd/user
	cmake --build $(PACKAGE_DIR) -j $(JOBS) --target zanthd zanthc zanthd-man zanthc-man
	cd $(PACKAGE_DIR) && cpack -G DEB

# Rewrites the README's command, privilege and group references from the
# tables in the source.
reference: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZANTH_TESTS=OFF
	cmake --build build -j $(JOBS) --target reference

# Redraws the architecture picture from docs/architecture.dot.
diagram:
	@scripts/install-deps docs
	dot -Tsvg docs/architecture.dot -o docs/architecture.svg
	dot -Tpng -Gdpi=110 docs/architecture.dot -o docs/architecture.png

# The fan-out scenarios against ngIRCd, the relay and zanthd, e.g.
# make fanout FANOUT_ARGS="lat --clients 200 --rate 100000". The suite
# installs Debian's ngircd when it is missing.
FANOUT_ARGS ?= sat

fanout: build
	cmake --build build -j $(JOBS) --target fanout relay
	./build/fanout $(FANOUT_ARGS)

# Every fan-out scenario behind bench/README.md's figures (ngIRCd, the
# relay and zanthd, minutes apart), and the plot.
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
	rm -rf build build-test build-release build-package

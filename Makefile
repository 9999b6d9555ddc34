# Developer entry points. `make test` is what CI runs.
PYTHON ?= /usr/bin/python3
PYTHON_DBG ?= /usr/bin/python3-dbg
BUILD ?= build
JOBS ?= $(shell nproc)

# A development build is used in place through a staging folder that holds
# the package sources and the freshly built extension side by side.
DEV = $(BUILD)/dev
PYTEST = PYTHONPATH=$(abspath $(DEV)) SORVA_BUILD=$(abspath $(BUILD)) $(PYTHON) -m pytest

.PHONY: all deps build unit pytest test sanitize tsan leakcheck fuzz bench wheel wheelcheck versions clone-check lint format tidy demo clean

all: build

deps:
	@tools/install-deps.sh

# Configures once, then rebuilds what changed and refreshes the staging folder.
build: deps
	@tools/dev-build.sh $(PYTHON) $(BUILD) -Dtests=true

unit: build
	meson test -C $(BUILD) --print-errorlogs

pytest: build
	$(PYTEST) -q -p no:cacheprovider tests

# Everything: the C++ layout and static checks, C++ units, the Python suite,
# the sanitizer runs (ThreadSanitizer on the free-threaded build among them)
# and the leak run, a short fuzzing session, the wheel, the other
# interpreters and a fresh clone.
test: lint unit pytest sanitize tsan leakcheck fuzz wheelcheck versions clone-check

CXX_FILES = $(shell find src tests/cpp tests/embed bench fuzz -name '*.cpp' -o -name '*.hpp' | sort)

# The layout of .clang-format and the checks of .clang-tidy, both clean.
lint: deps
	clang-format-14 --dry-run --Werror $(CXX_FILES)
	@$(MAKE) --no-print-directory tidy

# Reformats every C++ file in place.
format: deps
	clang-format-14 -i $(CXX_FILES)

tidy: build
	run-clang-tidy-14 -quiet -j $(JOBS) -clang-tidy-binary clang-tidy-14 -p $(BUILD) $(abspath src)/ \
		> $(BUILD)/tidy.log 2>&1 || { grep -E -A4 "(warning|error):" $(BUILD)/tidy.log; exit 1; }

# The C++ units and the Python suite against a build with ASan and UBSan.
sanitize: deps
	@tools/dev-build.sh $(PYTHON) $(BUILD)-asan -Db_sanitize=address,undefined -Db_lundef=false \
		-Dbuildtype=debugoptimized -Dcpp_args=-fno-sanitize-recover=all -Dtests=true
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 meson test -C $(BUILD)-asan --print-errorlogs json
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONPATH=$(abspath $(BUILD)-asan/dev) \
		$(PYTHON) -m pytest -q -p no:cacheprovider tests

# The threaded stress test under ThreadSanitizer on the free-threaded build.
tsan: deps
	tools/test-version.sh 3.14t --tsan

# Reference and memory-block growth under the debug interpreter.
leakcheck: deps
	@tools/dev-build.sh $(PYTHON_DBG) $(BUILD)-dbg
	PYTHONPATH=$(abspath $(BUILD)-dbg/dev) $(PYTHON_DBG) tests/leakcheck.py

# The Python suite under the other interpreters of this machine kind.
versions: deps
	tools/test-version.sh 3.12
	tools/test-version.sh 3.13
	tools/test-version.sh 3.14
	tools/test-version.sh 3.14t

# The units and the Python suite from a fresh clone of the committed state,
# in a folder with nothing beside it.
clone-check: deps
	tools/clone-check.sh $(PYTHON)

fuzz: deps
	fuzz/run.sh 60

bench: deps
	@tools/dev-build.sh $(PYTHON) $(BUILD) -Dtests=true -Dbenchmarks=true
	$(BUILD)/bench/json_bench
	for script in bench/*_bench.py; do PYTHONPATH=$(abspath $(DEV)) $(PYTHON) $$script || exit 1; done

wheel: deps
	$(PYTHON) -m pip wheel --no-build-isolation --no-deps -w dist .

# Builds the wheel offline, installs it into a fresh environment, imports it.
wheelcheck: deps
	tools/check-wheel.sh $(PYTHON)

# The example needs the extension alone: a fresh build for it configures no
# C++ tests (`make build` adds them to the same build later).
demo:
	@tools/install-deps.sh demo
	@tools/dev-build.sh $(PYTHON) $(BUILD)
	cd examples && PYTHONPATH=$(abspath $(DEV)) $(PYTHON) -m sorva.run pipeline --out ../sorva-out

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(BUILD)-dbg build-3.* build-fuzz dist sorva-out

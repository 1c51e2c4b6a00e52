# Front door: `make run` and `make test` do all set-up themselves.
JOBS ?= $(shell nproc)
BUILD ?= build
TEST_BUILD ?= build-test

.PHONY: deps build run test bench fuzz fuzz-build fuzz-ci clean

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@$(BUILD)/tools/orb/orb --help

# Tests run in a sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer).
test: deps
	@cmake -S . -B $(TEST_BUILD) -DCMAKE_BUILD_TYPE=Debug -DORB_SANITIZE=ON >/dev/null
	@cmake --build $(TEST_BUILD) -j $(JOBS)
	@cd $(TEST_BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@for b in $$(find $(BUILD)/bench -maxdepth 1 -type f -executable | sort); do echo "== $$b"; $$b || exit 1; done

# Fuzzing (clang + libFuzzer, with ASan/UBSan): every target for FUZZ_SECONDS,
# starting from seeds the engine writes and the kept regression inputs.
FUZZ_SECONDS ?= 300
FUZZ_BUILD ?= build-fuzz
FUZZ_TARGETS = decompress compressed_stream variant metadata database_file expression
fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORB_SANITIZE=ON -DORB_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)
	@$(FUZZ_BUILD)/tests/fuzz/seed_corpus $(FUZZ_BUILD)/seeds

fuzz: fuzz-build
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t tests/fuzz/regressions/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s"; \
	  $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 -timeout=10 \
	    -artifact_prefix=$(FUZZ_BUILD)/crash-$$t- $(FUZZ_BUILD)/corpus/$$t $(FUZZ_BUILD)/seeds/$$t \
	    tests/fuzz/regressions/$$t 2>$(FUZZ_BUILD)/fuzz_$$t.log || { tail -40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	  grep -E "^(#[0-9]+ +DONE|Done)" $(FUZZ_BUILD)/fuzz_$$t.log | tail -1; \
	done

# The CI form: the kept regression inputs, then a fixed seed and a fixed
# number of runs per target, so that a result is the same on every run.
fuzz-ci: fuzz-build
	@for spec in decompress:20000 compressed_stream:20000 variant:100000 metadata:100000 database_file:1500 expression:100000; do \
	  t=$${spec%%:*}; n=$${spec##*:}; rm -rf $(FUZZ_BUILD)/ci-corpus/$$t; mkdir -p $(FUZZ_BUILD)/ci-corpus/$$t; \
	  $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -runs=0 tests/fuzz/regressions/$$t $(FUZZ_BUILD)/seeds/$$t \
	    2>$(FUZZ_BUILD)/fuzz_$$t.log || { tail -40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	  $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t -seed=1 -runs=$$n -rss_limit_mb=2048 -timeout=10 \
	    -artifact_prefix=$(FUZZ_BUILD)/crash-$$t- $(FUZZ_BUILD)/ci-corpus/$$t $(FUZZ_BUILD)/seeds/$$t \
	    2>>$(FUZZ_BUILD)/fuzz_$$t.log || { tail -40 $(FUZZ_BUILD)/fuzz_$$t.log; exit 1; }; \
	  echo "fuzz_$$t: regression inputs and $$n runs, no finding"; \
	done

clean:
	rm -rf $(BUILD) $(TEST_BUILD) $(FUZZ_BUILD)

# Front door: `make run` and `make test` do all set-up themselves.
JOBS ?= $(shell nproc)
BUILD ?= build
TEST_BUILD ?= build-test

.PHONY: deps build run test bench clean

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

clean:
	rm -rf $(BUILD) $(TEST_BUILD)

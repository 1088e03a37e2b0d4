#!/bin/sh
# A PIN prompt for tests that need a PIN without a window: it answers the
# provider's prompt protocol with $ORVANE_TEST_PIN, or cancels (exit 1) when
# that is unset. With $ORVANE_TEST_PROMPT_LOG set it appends its arguments
# there as one line, so a test can count the prompts and see --retry / --tries.
# In notice mode (--pinpad) it waits for its input to end, as the real one does.
if [ -n "${ORVANE_TEST_PROMPT_LOG:-}" ]; then
    printf '%s\n' "$*" >>"$ORVANE_TEST_PROMPT_LOG"
fi
for arg in "$@"; do
    if [ "$arg" = "--pinpad" ]; then
        cat >/dev/null
        exit 0
    fi
done
if [ -z "${ORVANE_TEST_PIN+set}" ]; then
    exit 1
fi
printf '%s\n' "$ORVANE_TEST_PIN"
exit 0

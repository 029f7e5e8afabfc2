# readme_block.sh - sourced by the tests that run the README's recipes as a
# user pastes them.
#
# readme_block README HEADING LANGUAGE N: the Nth fenced block in LANGUAGE
# under the heading HEADING (the whole line, with its #s) of README.
readme_block() {
    awk -v heading="$2" -v fence="\`\`\`$3" -v want="$4" '
        !inside && /^#/ { here = ($0 == heading) }
        !inside && /^```/ { inside = 1; taken = here && $0 == fence && ++n == want; next }
        inside && $0 == "```" { inside = 0; next }
        inside && taken { print }
    ' "$1"
}

"""A short tour of _brindle_search: fuzzy ranking, tolerant replacement, streaming location."""

import _brindle_search as bs

print("== fuzzy scoring")
paths = ["src/foo_bar.py", "src/FooBar.ts", "docs/football.md", "tests/test_fb.py", "README.md"]
for path, score in bs.get_best_matches("fb", paths):
    print(f"  {score:4d}  {path}")
print("  fuzzy_match('fb', 'FooBar') =", bs.fuzzy_match("fb", "FooBar"))
print("  fuzzy_match_simple('rdm', 'README.md', False) =", bs.fuzzy_match_simple("rdm", "README.md", False))

print("\n== tolerant search-and-replace")
source = """def total(items):
    result = 0
    for item in items:
        result += item.price
    return result
"""
# The model wrote the block without its indentation and with collapsed spacing.
old = "for item in items:\nresult += item.price"
new = "    for item in items:\n        result += item.price * item.quantity"
result = bs.replace_content(source, old, new)
print(f"  strategy={result.strategy} lines {result.start_line}-{result.end_line}")
print("  " + result.content.replace("\n", "\n  "))

# A block with a typo cannot be placed; the failure explains why and shows the closest block.
failure = bs.try_replace_content(source, "    for item in items:\n        result += item.prize", "pass")
print(f"  failure: {failure!r} error_type={failure.error_type}")
print("  closest match:", failure.closest_match)
print("  " + failure.error.replace("\n", "\n  "))

print("\n== streaming matcher")
matcher = bs.StreamingFuzzyMatcher(source)
generated = "    for item in items:\n        result += item.price\n"
for k in range(0, len(generated), 9):  # the block arrives in small chunks
    found = matcher.push(generated[k : k + 9])
    if found is not None:
        print(f"  after {k + 9:3d} chars: {found} -> {matcher.get_text(found)!r}")
print("  final:", matcher.finish())

"""Why an effect is not identifiable: the hedge that zeph.hedge returns, and what changes it."""

import zeph

# A training programme acts on earnings through skills; age is measured and affects both
# training and earnings. Hidden motivation confounds training and earnings, hidden ability
# confounds skills and earnings.
d_edges = [("age", "training"), ("training", "skills"), ("skills", "earnings"), ("age", "earnings")]
hidden = {"motivation": ("training", "earnings"), "ability": ("skills", "earnings")}

print("P(earnings | do(training)):", zeph.id(d_edges, list(hidden.values()), ["training"], ["earnings"], []))
witness = zeph.hedge(d_edges, list(hidden.values()), ["training"], ["earnings"], [])
print("the hedge:", witness)
blamed = [name for name, (a, b) in hidden.items() if a in witness["F"] and b in witness["F"]]
print("hidden causes inside F:", ", ".join(blamed))

# Ruling out either hidden cause removes the hedge: the effect is then identifiable.
for name in blamed:
    rest = [pair for other, pair in hidden.items() if other != name]
    print(f"without {name}: hedge is", zeph.hedge(d_edges, rest, ["training"], ["earnings"], []))

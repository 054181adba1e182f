"""A first look at zeph: three identification questions, each answered as JSON and as a formula."""

import json

import zeph

# Front door: X -> M -> Y, with a hidden common cause of X and Y (X <-> Y).
front_door = [("X", "M"), ("M", "Y")]
confounded = [("X", "Y")]

print("P(Y | do(X)) in the front-door graph:")
print(zeph.id(front_door, confounded, ["X"], ["Y"], []))
print("as a formula:", zeph.formula(front_door, confounded, ["X"], ["Y"], [], style="text"))
print("in LaTeX:    ", zeph.formula(front_door, confounded, ["X"], ["Y"], [], style="latex"))

print("\nP(Y | do(X)) with X -> Y and X <-> Y (not identifiable):")
print(zeph.id([("X", "Y")], [("X", "Y")], ["X"], ["Y"], []))
print("as a formula:", zeph.formula([("X", "Y")], [("X", "Y")], ["X"], ["Y"], [], style="text"))

print("\nP(Y | Z, do(X)) with X -> Y and Z -> Y (a conditional query):")
answer = zeph.id([("X", "Y"), ("Z", "Y")], [], ["X"], ["Y"], ["Z"])
print(answer)
print("top-level node:", json.loads(answer)["type"])
print("as a formula:", zeph.formula([("X", "Y"), ("Z", "Y")], [], ["X"], ["Y"], ["Z"], style="text"))

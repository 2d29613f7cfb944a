"""How a coding agent edits files with brindle_search: edit, read the result, hand str(result) back.

The "model" here is a list of canned replies, as a language model typically writes them: the first
drops the indentation of a method, the second misremembers a line, the third retries with the text
the failure report showed it.
"""

import os
import tempfile

import brindle_search as bs

SOURCE = """class Cart:
    def __init__(self):
        self.items = []

    def total(self):
        result = 0
        for item in self.items:
            result += item.price
        return result
"""

MODEL_REPLIES = [
    # Indentation dropped in old and new: placed by a tolerant strategy, new_string reindented.
    {
        "old_string": "def total(self):\n    result = 0\n    for item in self.items:\n",
        "new_string": "def total(self):\n    result = 0\n    for item in self.items:\n"
        "        if item.free:\n            continue\n",
    },
    # A misremembered line: not placed; the report shows the closest block and its diff.
    {
        "old_string": "        result += item.prize\n        return result",
        "new_string": "        result += item.price * item.quantity\n        return result",
    },
    # The retry, with the line as the report showed it.
    {
        "old_string": "            result += item.price\n        return result",
        "new_string": "            result += item.price * item.quantity\n        return result",
    },
]


def main() -> None:
    folder = tempfile.mkdtemp(prefix="agent_edit_")
    path = os.path.join(folder, "cart.py")
    with open(path, "w", encoding="utf-8") as f:
        f.write(SOURCE)

    for reply in MODEL_REPLIES:
        try:
            result = bs.edit_file(path, reply["old_string"], reply["new_string"])
        except bs.EditError as exc:  # the file itself is the problem: missing, binary, unwritable
            print(f"tool error: {exc}")
            continue
        # This is what goes back to the model as the tool's answer.
        print(f"--- tool result (ok={result.ok}, strategy={result.strategy}, repairs={result.repairs})")
        print(str(result))
        print()

    print("--- the file now")
    with open(path, encoding="utf-8") as f:
        print(f.read(), end="")
    compile(open(path, encoding="utf-8").read(), path, "exec")


if __name__ == "__main__":
    main()

"""How a coding agent edits files with brindle_search: edit, read the result, hand str(result) back.

The "model" here is a list of canned replies, as a language model typically writes them: the first
drops the indentation of a method, the second quotes a loop as it was before the first edit, the
third retries with the lines the failure report showed it. The file lives in a temporary folder
that is removed at the end.
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
    # The loop as it was before the first edit (and a misremembered name): refused, since the
    # lines it would replace hold two the model did not show; the report shows them in a diff.
    {
        "old_string": "        for item in self.items:\n            result += item.prize\n"
        "        return result",
        "new_string": "        for item in self.items:\n            result += item.price * item.quantity\n"
        "        return result",
    },
    # The retry, with the line as the report showed it.
    {
        "old_string": "            result += item.price\n        return result",
        "new_string": "            result += item.price * item.quantity\n        return result",
    },
]


def main() -> None:
    home = os.getcwd()
    with tempfile.TemporaryDirectory(prefix="agent_edit_") as folder:  # removed again at the end
        os.chdir(folder)  # so that reports name the file as the model does: cart.py
        try:
            play("cart.py")
        finally:
            os.chdir(home)


def play(path: str) -> None:
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
    with open(path, encoding="utf-8") as f:
        compile(f.read(), path, "exec")


if __name__ == "__main__":
    main()

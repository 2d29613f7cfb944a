"""The commands of ``brindle-search``, one module each.

Each module declares its command together: ``NAME``, ``HELP`` (the line of the top-level usage),
``DESCRIPTION``, ``EXAMPLE``, ``add_options(parser)`` and ``run(args) -> int``; ``_common`` holds
what several of them share. ``cli`` imports a command's module only when that command is run.
"""

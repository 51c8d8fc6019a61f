"""The `ara2` command-line tool: scan for ARA-2 proxies, inspect .dvm models,
run and benchmark them, built on tallowind_ara2's public API.

Run it as `ara2 ...` or `python -m ara2_cli ...`; `ara2_cli.main.main(argv)`
does the same from Python and returns the exit status.
"""

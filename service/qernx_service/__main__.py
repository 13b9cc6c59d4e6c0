from qernx_service.cli import main

# Solver processes import this module under another name: only a real start runs.
if __name__ == "__main__":
    raise SystemExit(main())

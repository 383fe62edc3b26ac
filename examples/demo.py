"""Interpret the example pocket program and print its table.

Run from the repository root with the project's Python:  .venv/bin/python examples/demo.py
"""

import pathlib

import kelvane

PROGRAM = pathlib.Path(__file__).with_name("pocket.nc")

# columns shown, in this order, when the program writes them
SHOWN = ["N", "gg01_motion", "gg06_plane_select", "X", "Y", "Z", "I", "J", "F", "S", "T", "M", "comment"]


def cell_text(value):
    if value is None:
        return ""
    if isinstance(value, list):
        return " ".join(value)
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def main():
    it = kelvane.nc_to_rows(str(PROGRAM), input_is_path=True, include_variables=True)
    table = []
    for line, row, variables in it:
        if not row and not variables:
            continue
        cells = {name: cell_text(row.get(name)) for name in SHOWN}
        cells["line"] = str(line)
        cells["variables"] = " ".join(f"{k}={v:g}" for k, v in variables.items())
        table.append(cells)

    columns = ["line"] + [c for c in SHOWN if any(r[c] for r in table)] + ["variables"]
    columns.remove("comment")
    columns.append("comment")  # last, unpadded
    headers = {c: {"gg01_motion": "motion", "gg06_plane_select": "plane"}.get(c, c) for c in columns}
    widths = {c: max(len(headers[c]), *(len(r[c]) for r in table)) for c in columns}

    print(f"{PROGRAM.name}: {len(table)} rows (forward-filled)\n")
    print("  ".join(headers[c].rjust(widths[c]) if c != "comment" else headers[c] for c in columns))
    print("  ".join("-" * (widths[c] if c != "comment" else 7) for c in columns))
    for r in table:
        print("  ".join(r[c].rjust(widths[c]) if c != "comment" else r[c] for c in columns).rstrip())

    state = it.state
    params = {k: v for k, v in state["symbol_table"].items() if k.startswith("R")}
    print("\nfinal R parameters:", ", ".join(f"{k}={v:g}" for k, v in sorted(params.items())))
    print("final position:", ", ".join(f"{k}={v:g}" for k, v in sorted(state["axes"].items())))

    batches = list(kelvane.nc_to_batches(str(PROGRAM), input_is_path=True, batch_size=16))
    print(f"as Arrow batches of up to 16 rows: {len(batches)} batches "
          f"(each exported through __arrow_c_array__)")


if __name__ == "__main__":
    main()

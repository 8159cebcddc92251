"""zorvane quickstart: runs every section in sections/ against one SQLite file and prints the results.

The main job comes first: a mapper file and a mapper interface returning typed objects, then the
same from async code; a tour of the helper functions follows."""
import importlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
DB = HERE / "demo.db"


def main() -> None:
    DB.unlink(missing_ok=True)
    sys.path.insert(0, str(HERE))
    ctx = {"db_path": DB, "mapper_dir": HERE / "mappers"}
    for path in sorted((HERE / "sections").glob("s[0-9]*.py")):
        module = importlib.import_module(f"sections.{path.stem}")
        print(f"\n### {(module.__doc__ or '').strip()}")
        module.run(ctx)


if __name__ == "__main__":
    main()

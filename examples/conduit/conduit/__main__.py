"""python -m conduit: creates the schema of CONDUIT_DB (default: a SQLite file) and serves the API on CONDUIT_PORT."""
import os

import uvicorn

from .app import create_app
from .db import configure

if __name__ == "__main__":
    kind = configure()
    port = int(os.environ.get("CONDUIT_PORT", "8000"))
    print(f"Conduit on {kind}: http://127.0.0.1:{port}/api")
    uvicorn.run(create_app(), host="127.0.0.1", port=port, log_level="warning")

"""examples/conduit/conduit/auth.py: password hashes (bcrypt), tokens (JWT) and the Authorization header."""
import asyncio
import os
from datetime import datetime, timedelta, timezone

import bcrypt
import jwt
from fastapi import Header

from .errors import ApiError

# HS256 wants a key of 32 bytes or more.
SECRET = os.environ.get("CONDUIT_SECRET", "conduit-development-secret-change-me-in-production")
ROUNDS = int(os.environ.get("CONDUIT_BCRYPT_ROUNDS", "12"))
TOKEN_DAYS = 30


async def hash_password(password: str) -> str:
    # bcrypt takes tens of milliseconds on purpose: off the event loop
    return await asyncio.to_thread(lambda: bcrypt.hashpw(password.encode(), bcrypt.gensalt(ROUNDS)).decode())


async def check_password(password: str, hashed: str) -> bool:
    return await asyncio.to_thread(bcrypt.checkpw, password.encode(), hashed.encode())


def make_token(user_id: int) -> str:
    exp = datetime.now(timezone.utc) + timedelta(days=TOKEN_DAYS)
    return jwt.encode({"sub": str(user_id), "exp": exp}, SECRET, algorithm="HS256")


def _user_id(authorization: str) -> int:
    scheme, _, token = authorization.partition(" ")
    if scheme not in ("Token", "Bearer") or not token:
        raise ApiError(401, "authorization header must be 'Token <jwt>'")
    try:
        return int(jwt.decode(token.strip(), SECRET, algorithms=["HS256"])["sub"])
    except (jwt.PyJWTError, KeyError, ValueError):
        raise ApiError(401, "token is invalid or expired") from None


def token_of(authorization: str) -> str:
    return authorization.partition(" ")[2].strip()


async def viewer(authorization: str | None = Header(None)) -> int | None:
    """The id of the user the request's token names; None without a token (a bad token is a 401)."""
    return None if authorization is None else _user_id(authorization)


async def current_user(authorization: str | None = Header(None)) -> int:
    """The id of the user the request's token names; a 401 without one."""
    if authorization is None:
        raise ApiError(401, "authorization required")
    return _user_id(authorization)

"""examples/conduit/conduit/errors.py: every error answers {"errors": {"body": [...]}}."""
from fastapi import FastAPI, Request
from fastapi.exceptions import RequestValidationError
from fastapi.responses import JSONResponse
from starlette.exceptions import HTTPException


class JSON(JSONResponse):
    media_type = "application/json; charset=utf-8"


class ApiError(Exception):
    def __init__(self, status: int, *messages: str):
        super().__init__(*messages)
        self.status = status
        self.messages = list(messages)


def error_response(status: int, messages: list[str]) -> JSONResponse:
    return JSON({"errors": {"body": messages}}, status_code=status)


def _where(loc) -> str:
    return ".".join(str(p) for p in loc if p != "body")


def install(app: FastAPI) -> None:
    @app.exception_handler(ApiError)
    async def api_error(request: Request, exc: ApiError):
        return error_response(exc.status, exc.messages)

    @app.exception_handler(RequestValidationError)
    async def invalid(request: Request, exc: RequestValidationError):
        messages = []
        for e in exc.errors():
            where = _where(e.get("loc", ()))
            messages.append(f"{where}: {e['msg']}" if where else e["msg"])
        return error_response(422, messages)

    @app.exception_handler(HTTPException)
    async def http_error(request: Request, exc: HTTPException):
        return error_response(exc.status_code, [str(exc.detail)])

"""Conduit (RealWorld) API served by FastAPI, with zorvane mappers as the data layer."""

"""WSGI echo application for the benchmark, served by gunicorn's sync workers.

Answers every request with its body unchanged, Content-Type application/json.
"""


def app(environ, start_response):
    try:
        length = int(environ.get("CONTENT_LENGTH") or 0)
    except ValueError:
        length = 0
    body = environ["wsgi.input"].read(length) if length > 0 else b""
    start_response("200 OK", [("Content-Type", "application/json"),
                              ("Content-Length", str(len(body)))])
    return [body]

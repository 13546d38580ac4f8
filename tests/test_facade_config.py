"""QurovanConfig, the facade's error classes, the credential export and what importing the facade does."""

import os
import subprocess
import sys
import textwrap

import pytest

import quorvan_core.quorvan as quorvan
from tests.support.facade import CREDENTIAL_VARS, clean_env  # noqa: F401

QurovanConfig = quorvan.QurovanConfig
DEFAULTS = {
    "extractor_type": "aws", "extractor_region": "us-east-1", "openai_api_key": None, "aws_access_key_id": None,
    "aws_secret_access_key": None, "gemini_api_key": None, "mathpix_app_id": None, "mathpix_app_key": None,
    "token_log_file": "llm_token_usage.log", "dpi": 150,
}


class Text(str):
    pass


def test_defaults_and_to_dict_keys_in_order():
    config = QurovanConfig()
    assert list(config.to_dict().items()) == list(DEFAULTS.items())
    assert config.enable_llm_token_logging is False
    assert QurovanConfig.__doc__ == (
        "    Configuration object for Quorvan module.\n    \n"
        "    This class holds all configuration parameters needed to initialize\n"
        "    the various components of the Quorvan system.\n    "
    )


def test_eleven_positional_parameters_become_attributes_in_order():
    values = ["openai", "eu-west-1", "k1", "k2", "k3", "k4", "k5", "k6", "usage.log", True, 300]
    config = QurovanConfig(*values)
    names = [*DEFAULTS][:9] + ["enable_llm_token_logging", "dpi"]
    assert list(vars(config).items()) == list(zip(names, values))
    assert "enable_llm_token_logging" not in config.to_dict()
    assert config.to_dict()["openai_api_key"] == "k1"  # credentials in clear


@pytest.mark.parametrize("kwargs, message", [
    ({"extractor_region": None}, "Argument 'extractor_region' has incorrect type (expected str, got NoneType)"),
    ({"extractor_type": Text("aws")}, "Argument 'extractor_type' has incorrect type (expected str, got Text)"),
    ({"mathpix_app_key": 5}, "Argument 'mathpix_app_key' has incorrect type (expected str, got int)"),
    ({"dpi": "200"}, "Argument 'dpi' has incorrect type (expected int, got str)"),
])
def test_argument_types_are_checked(kwargs, message):
    with pytest.raises(TypeError) as caught:
        QurovanConfig(**kwargs)
    assert str(caught.value) == message


@pytest.mark.parametrize("name, given, stored", [
    ("dpi", 200.0, 200), ("dpi", 300.7, 300), ("dpi", -1, -1), ("enable_llm_token_logging", 1, True),
    ("enable_llm_token_logging", "no", True), ("enable_llm_token_logging", "", False), ("extractor_type", "", ""),
])
def test_values_are_converted_or_kept(name, given, stored):
    value = getattr(QurovanConfig(**{name: given}), name)
    assert value == stored and type(value) is type(stored)


@pytest.mark.parametrize("name, base, doc", [
    ("QurovanError", Exception, "Base exception for Quorvan errors."),
    ("ConfigurationError", quorvan.QurovanError, "Raised when there's an error in configuration."),
    ("ProcessingError", quorvan.QurovanError, "Raised when there's an error during processing."),
    ("ValidationError", quorvan.QurovanError, "Raised when validation fails."),
])
def test_error_classes(name, base, doc):
    cls = getattr(quorvan, name)
    assert cls.__bases__ == (base,)
    assert (cls.__module__, cls.__doc__) == ("quorvan_core.quorvan", doc)
    assert str(cls("one message")) == "one message"


# ------------------------------------------------------------------ the export


def export(**configured):
    quorvan.Quorvan()._set_environment_variables(QurovanConfig(**configured))


@pytest.mark.parametrize("variable, attribute", CREDENTIAL_VARS.items())
@pytest.mark.parametrize("present, configured, expected", [
    (None, "from-config", "from-config"), ("from-env", "from-config", "from-env"), ("", "from-config", "from-config"),
    (None, "", None),
])
def test_export_keeps_non_empty_environment_values(clean_env, monkeypatch, variable, attribute, present, configured,
                                                   expected):
    if present is not None:
        monkeypatch.setenv(variable, present)
    export(**{attribute: configured})
    assert os.environ.get(variable) == expected
    assert all(os.environ.get(other) is None for other in CREDENTIAL_VARS if other != variable)


def test_a_second_facade_keeps_the_first_key(clean_env):
    export(openai_api_key="first")
    export(openai_api_key="second")
    assert os.environ["OPENAI_API_KEY"] == "first"


def test_a_failed_export_keeps_what_was_exported_before(clean_env):
    config = QurovanConfig(openai_api_key="sk-1", aws_access_key_id="AK", mathpix_app_id="id")
    config.gemini_api_key = 5  # written after construction: nothing re-checks it
    with pytest.raises(TypeError):
        quorvan.Quorvan()._set_environment_variables(config)
    assert (os.environ.get("OPENAI_API_KEY"), os.environ.get("AWS_ACCESS_KEY_ID")) == ("sk-1", "AK")
    assert "MATHPIX_APP_ID" not in os.environ


# ------------------------------------------------------------------ the import


def run_python(code, cwd, env, via="-c"):
    """Runs code in a fresh interpreter, given as -c, on standard input, or as a script file in cwd."""
    code = textwrap.dedent(code)
    if via == "stdin":
        args, stdin = [sys.executable, "-"], code
    elif via == "script":
        (cwd / "script.py").write_text(code)
        args, stdin = [sys.executable, "script.py"], None
    else:
        args, stdin = [sys.executable, "-c", code], None
    return subprocess.run(args, cwd=cwd, env=env, input=stdin, capture_output=True, text=True, timeout=120)


def bare_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in CREDENTIAL_VARS}
    env.update(extra)
    return env


@pytest.mark.parametrize("via", ["-c", "stdin", "script"])
def test_environment_then_dotenv_then_configuration(tmp_path, via):
    (tmp_path / ".env").write_text("OPENAI_API_KEY=from-dotenv\nAWS_ACCESS_KEY_ID=aws-from-dotenv\n")
    result = run_python("""
        import os
        import quorvan_core.quorvan as q
        q.Quorvan()._set_environment_variables(q.QurovanConfig(
            openai_api_key="from-config", aws_access_key_id="from-config", gemini_api_key="from-config"))
        print(os.environ["OPENAI_API_KEY"], os.environ["AWS_ACCESS_KEY_ID"], os.environ["GEMINI_API_KEY"])
    """, tmp_path, bare_env(OPENAI_API_KEY="from-env"), via)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "from-env aws-from-dotenv from-config\n"


@pytest.mark.parametrize("fake_dotenv, outcome", [
    ("sys.modules['dotenv'] = None", "imported without load_dotenv"),
    ("m = types.ModuleType('dotenv'); m.load_dotenv = lambda: 1 / 0; sys.modules['dotenv'] = m",
     "import failed: ZeroDivisionError"),
])
def test_dotenv_missing_is_ignored_other_errors_abort_the_import(tmp_path, fake_dotenv, outcome):
    # The pipelines need python-dotenv themselves: loaded first, they are not what is tested.
    result = run_python(f"""
        import sys, types
        import quorvan_core.question_paper_service, quorvan_core.answersheet_service
        {fake_dotenv}
        try:
            import quorvan_core.quorvan as q
        except Exception as e:
            print("import failed:", type(e.__cause__ or e).__name__)
        else:
            print("imported", "with" if hasattr(q, "load_dotenv") else "without", "load_dotenv")
    """, tmp_path, bare_env())
    assert result.stdout == outcome + "\n", result.stderr

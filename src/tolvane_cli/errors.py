"""The one error the command reports as a line of its own."""


class CliError(Exception):
    """A problem with the command's input: printed as "tolvane: <message>"."""

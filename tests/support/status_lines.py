"""What the status line says during a download that fails at its end, and how a screen reader
hears it, for the tests that listen as one does."""

MSG_DOWNLOADING = "Téléchargement de Korvane en cours"
MSG_WAIT = "Veuillez patienter"
MSG_FAILED = "Impossible de télécharger Korvane, veuillez vérifier votre connexion"
# From 10 % to 90 %, then on failing.
SAID_DURING_THE_DOWNLOAD = [
    MSG_WAIT, MSG_DOWNLOADING, MSG_WAIT, MSG_DOWNLOADING,
    "Veuillez patienter, on a fait la moitiée !", MSG_DOWNLOADING, MSG_WAIT, MSG_DOWNLOADING,
    "Veuillez patienter, on y est presque !", MSG_FAILED,
]


def read_in_order(said, sequence):
    """Whether `said` reads `sequence` in its order, leaving some out or reading some twice: a
    screen reader reads a text when it takes the event, by when the text may have moved on."""
    position = 0
    for text in said:
        while position < len(sequence) and sequence[position] != text:
            position += 1
        if position == len(sequence):
            return False
    return True

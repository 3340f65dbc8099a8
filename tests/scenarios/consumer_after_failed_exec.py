"""Another compiled module (the consumer built at argv[1]) fetches the method
table from a Color whose first execution failed."""

import importlib.util
import sys
import warnings

from common import outcome_of_import, report

warnings.simplefilter("error", RuntimeWarning)
first = outcome_of_import()
warnings.resetwarnings()
warnings.simplefilter("ignore", RuntimeWarning)
spec = importlib.util.spec_from_file_location("_color_consumer", sys.argv[1])
consumer = importlib.util.module_from_spec(spec)
spec.loader.exec_module(consumer)
import vantel.color.color as module  # noqa: E402

colour = consumer.new(-5, 300, 128, 255)
report(
    {
        "first": first,
        "file": module.__file__,
        "type": type(colour) is module.Color,
        "channels": list(colour),
        "shared": consumer.method_table_is_shared(module.Color(1, 2, 3)),
    }
)

from mcp import Client

import velnor
from velnor.mcp import CapabilityClient


async def wrong(client: Client, cap: velnor.Capability) -> bool:
    result = await CapabilityClient(client, cap, caller="a").call_tool("t", {})
    return result.receipt  # the receipt is read with receipt_of(result)

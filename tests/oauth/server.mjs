// The sign-in tests' authorization server: oidc-provider on 127.0.0.1 over http, with the
// device grant, the authorization code grant with PKCE, refresh tokens that rotate, token
// introspection for the mail server and its own login and consent pages.
//
//   node server.mjs PORT [ACCESS_TOKEN_SECONDS] [nodevice]
//
// nodevice: no device grant, so a client must sign in through the browser.
// Prints "LISTENING <port>" once it answers. Accounts: any login name, any password; the
// name becomes the token's subject, which the mail server takes as the user.
import { appendFileSync } from 'node:fs';
import Provider from 'oidc-provider';

const port = Number(process.argv[2] || 9000);
const accessSeconds = Number(process.argv[3] || 3600);
const issuer = `http://127.0.0.1:${port}`;
const device = process.argv[4] !== 'nodevice';

const provider = new Provider(issuer, {
  clients: [
    {
      client_id: 'kestova',
      token_endpoint_auth_method: 'none',
      application_type: 'native',
      grant_types: [...(device ? ['urn:ietf:params:oauth:grant-type:device_code'] : []),
                    'authorization_code', 'refresh_token'],
      response_types: ['code'],
      redirect_uris: ['http://127.0.0.1/callback'],
    },
    {
      client_id: 'dovecot',
      client_secret: 'dovecot-introspection-secret',
      grant_types: [],
      response_types: [],
      redirect_uris: [],
    },
  ],
  scopes: ['openid', 'offline_access', 'mail'],
  features: {
    devInteractions: { enabled: true },
    deviceFlow: { enabled: device },
    introspection: { enabled: true },
    revocation: { enabled: true },
  },
  pkce: { required: () => true },
  issueRefreshToken: async () => true,
  rotateRefreshToken: () => true,
  ttl: {
    AccessToken: accessSeconds,
    DeviceCode: 600,
    RefreshToken: 86400,
    Grant: 86400,
    Session: 86400,
    Interaction: 3600,
  },
  findAccount: async (ctx, id) => ({ accountId: id, claims: async () => ({ sub: id }) }),
  loadExistingGrant: async (ctx) => {
    // Every client is trusted for every scope it asks: the consent page is shown once.
    const grantId = ctx.oidc.result?.consent?.grantId || ctx.oidc.session.grantIdFor(ctx.oidc.client.clientId);
    if (grantId) return ctx.oidc.provider.Grant.find(grantId);
    return undefined;
  },
});

// KC_OIDC_TOKEN_LOG names a file that gets every token the token endpoint hands out, one a
// line, so a test can look for them in a program's output.
const tokenLog = process.env.KC_OIDC_TOKEN_LOG;
if (tokenLog) {
  provider.use(async (ctx, next) => {
    await next();
    if (ctx.path === '/token' && ctx.body && typeof ctx.body === 'object') {
      for (const name of ['access_token', 'refresh_token', 'id_token']) {
        if (ctx.body[name]) appendFileSync(tokenLog, `${ctx.body[name]}\n`);
      }
    }
  });
}

provider.listen(port, '127.0.0.1', () => {
  console.log(`LISTENING ${port}`);
});

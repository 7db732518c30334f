// Sign-in: posts the user name and password, then goes back to the page
// that sent us here (only a path of this service).
import { api, setText } from '/assets/app.js';

const form = document.getElementById('login');
const message = document.getElementById('message');

function nextPage() {
  const next = new URLSearchParams(location.search).get('next') || '/';
  return /^\/(?!\/)[^\\]*$/.test(next) && !next.startsWith('/login') ? next : '/';
}

form.addEventListener('submit', async (event) => {
  event.preventDefault();
  const user = form.elements.user.value.trim();
  const password = form.elements.password.value;
  if (!user || !password) {
    setText(message, 'Enter a user name and a password.');
    (user ? form.elements.password : form.elements.user).focus();
    return;
  }
  const button = form.querySelector('button');
  button.disabled = true;
  setText(message, '');
  const result = await api('session', { method: 'POST', body: { user, password } });
  button.disabled = false;
  if (result.status === 200) {
    location.assign(nextPage());
    return;
  }
  if (result.status === 429) {
    const wait = Number(result.response.headers.get('Retry-After'));
    const when = Number.isFinite(wait) && wait > 0
      ? 'in ' + (wait >= 120 ? Math.ceil(wait / 60) + ' minutes' : wait + ' seconds') : 'later';
    setText(message, 'Too many failed sign-ins. Try again ' + when + '.');
  } else if (result.status === 401) {
    setText(message, 'Wrong user name or password.');
    form.elements.password.select();
  } else {
    setText(message, 'Signing in failed: ' + (result.data && result.data.error ? result.data.error
      : result.status ? 'the service answered ' + result.status : 'the service cannot be reached') + '.');
  }
});

// Already signed in (or anonymous reading is on): no need to stay here.
const current = await api('session');
if (current.status === 200 && current.data && current.data.user) location.replace(nextPage());
